// The end of a text trace's reserve, while its program runs and after it is
// killed: the unused zero bytes of its window, then a mark, a line of the
// library's own that says where the run began. From the mark the next run
// finds exactly what a killed one left, and takes it out; whatever else the
// file holds stays byte for byte.
//
// The mark is 64 bytes that end its window: two zero bytes at least, then
// "libinpout32 reserva <from> <window>\n", the two numbers in 20 digits each:
// where the run's text began and where its window begins.
#pragma once

#include <sys/types.h>

namespace mark {

// The trace's window: its space is reserved and mapped this much at a time.
constexpr off_t kWindow = 1 << 20;
constexpr off_t kLength = 64;

// Writes the mark of a run whose text began at `from` and whose window begins
// at `window` into `out` (kLength bytes).
void make(char *out, off_t from, off_t window);

// What a killed run left in a file of `size` bytes: its whole lines end at
// `lines`, its reserve and mark at `end`, which is the file's end or a page's
// end with someone else's text after it (up to a window of it is looked
// through). Both -1 when the file holds no such mark.
struct Killed {
    off_t lines = -1;
    off_t end = -1;
};
Killed findKilled(int fd, off_t size);

// Whether the bytes [from, to) of the file are all there and all zero.
bool zeroUpTo(int fd, off_t from, off_t to);

// Takes [from, to) out from between the text before it and the text after
// it, which someone may still be adding to: nothing is cut or moved by hand.
// Whole blocks go where the file system can take them out in one step (which
// shifts what follows, appends and all, at once); the rest becomes blank
// lines, so that the text after it reads on from the text before it.
void takeOut(int fd, off_t from, off_t to);

}  // namespace mark
