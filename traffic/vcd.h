// The port's traffic as a Value Change Dump (IEEE 1364), which logic-analyser
// tools open (sigrok-cli, PulseView, GTKWave): a header, then for each write
// its time and the lines it changed. Only the text is made here, into the
// caller's buffer, with no system call and no allocation per write, so the
// library can store it straight into its mapped trace file.
//
// Two 1-bit wires, in this order: D0_pulso (bit 0, identifier '!') and
// D1_direccion (bit 1, identifier '"'). Times are in ns since the first write.
// A dump is read back by those names, whatever tool wrote it.
#pragma once

#include <cstddef>
#include <string>

namespace vcd {

// The wires' names: the pulse line (bit 0, pin 2) and the direction line (bit 1, pin 3).
constexpr char kPulseWire[] = "D0_pulso";
constexpr char kDirectionWire[] = "D1_direccion";

// Room enough for the text of any one write.
constexpr std::size_t kWriteMax = 32;

// "$date", "$version" (libinpout32 and `version`), "$timescale 1 ns" and the
// scope "puerto" with its two wires, up to "$enddefinitions $end\n".
std::string header(const char *date, const char *version);

// What the dump holds so far.
struct Lines {
    int value = -1;               // the lines as last written (bits 0 and 1); -1: no write yet
    unsigned long long time = 0;  // the time the last write was given in the dump
};

// One write of `value`, `time` ns after the first write: "#<time>\n", then
// "<level><identifier>\n" for each line it changed (both lines at the first
// write). Fills `out` (kWriteMax bytes) and returns the length; updates `lines`.
// A write that changes neither line has no change to dump: nothing, so the
// dump ends with its last change.
//
// Times only go forward: a write given a time not after the previous one is
// put 1 ns after it, since two changes at one time would merge and the pulse
// between them would vanish.
std::size_t write(char *out, Lines &lines, unsigned long long time, int value);

}  // namespace vcd
