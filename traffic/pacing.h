// How the port library paces a program's writes, as the person asked in the
// environment: PARPORT_SLOWDOWN=N stretches every gap between two writes N
// times. Read here, by the one function the library, the programs and the
// viewer's analysis all use, so that a setting means the same to each.
#pragma once

#include <string>

namespace traffic {

// A gap longer than this is the program idle or waiting for a person, not a
// step's timing: it is left as it is.
constexpr unsigned long long kLongestStretched = 50000000;  // 50 ms
// No gap is stretched beyond this, so that at the largest slowdowns the
// window still answers within a moment and a program's last 0 reaches the
// port at once; above it the slowdown is less than asked.
constexpr unsigned long long kLongestGap = 100000000;  // 0.1 s
// The largest slowdown taken: past it every gap would be kLongestGap anyway.
constexpr int kMostSlowdown = 100000;

// The PARPORT_SLOWDOWN setting: every gap between two writes becomes this many
// times as long. Returns "" and sets `factor` (1 when unset), or the message
// for a person, naming the variable and what it takes.
std::string readSlowdown(const char *setting, double &factor);

// Whether the person asked in the environment for slowed traffic: a valid
// PARPORT_SLOWDOWN above 1. A program reads it once, at start-up, and only
// then lets a move be left midway; at full speed a move runs to its end.
bool slowedByEnvironment();

// The gap the library makes of a program's gap of `gap` ns under a slowdown
// of `slowdown`: that many times as long, but no gap past kLongestGap, and a
// gap over kLongestStretched left as it is.
unsigned long long stretchedGap(unsigned long long gap, double slowdown);

}  // namespace traffic
