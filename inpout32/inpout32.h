/* The port library's whole interface, as the programs bind it by name. */
#ifndef INPOUT32_H
#define INPOUT32_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the low byte of `value` to the I/O port at `address`: one write per
   call, no buffering, no retry. The first call opens the port.
   Not thread-safe: a program calls it from one thread only (or serialises
   its calls itself). */
void Out32(short address, short value);

/* With PARPORT_TRACE=FILE each call also stores a line "<t> <address>
   <value>" in FILE through a shared mapping. A reader of a trace that is still
   being written takes the text up to the first zero byte, and of that only the
   whole lines, up to the last newline: a mapped file reaches a reader page by
   page, and no order of stores in the writer can spare it that rule. */

/* The message for a person when the last call to Out32 failed (opening the
   port, or the write itself), or NULL when it succeeded. Spanish, one line:
   what failed, on which device, the system's reason and what to do.
   The text belongs to the library and stays valid until the next call to
   Out32; copy it to keep it longer. */
const char *Out32Error(void);

#ifdef __cplusplus
}
#endif

#endif
