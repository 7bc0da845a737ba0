// How the port library paces a program's writes, as the person asked in the
// environment: PARPORT_SLOWDOWN=N stretches every gap between two writes N
// times; PARPORT_MAXRATE=R never lets the step pulses come faster than R a
// second. Read here, by the one function the library, the programs and the
// viewer's analysis all use, so that a setting means the same to each.
#pragma once

#include <string>

namespace traffic {

// A gap longer than this is the program idle or waiting for a person, not a
// step's timing: the slowdown leaves it as it is.
constexpr unsigned long long kLongestStretched = 50000000;  // 50 ms
// No gap is stretched beyond this, so that at the largest slowdowns the
// window still answers within a moment and a program's last 0 reaches the
// port at once; above it the slowdown is less than asked.
constexpr unsigned long long kLongestGap = 100000000;  // 0.1 s
// The largest slowdown taken: past it every gap would be kLongestGap anyway.
constexpr int kMostSlowdown = 100000;
// The rates taken, in step pulses a second: at the lowest a write waits at
// most kLongestGap for the one before, as at the largest slowdown.
constexpr double kLeastRate = 5, kMostRate = 100000;
// Each setting's bounds as a person reads them ("de 5 a 100000"): in its
// message when it is wrong and in the programs' --help alike.
std::string slowdownRange();
std::string rateRange();

struct Pacing {
    double slowdown = 1;  // every gap this many times as long (1: as the program makes it)
    double maxRate = 0;   // step pulses a second at most (0: no bound)

    // Whether the person asked for slower traffic than the program's own.
    bool slowed() const { return slowdown > 1 || maxRate > 0; }
    // The shortest gap the rate leaves between two writes, in ns: half a
    // pulse, since a pulse is two writes, the line up and then down (0: none).
    unsigned long long shortestGap() const;
};

// The PARPORT_SLOWDOWN setting: every gap between two writes becomes this many
// times as long. Returns "" and sets `factor` (1 when unset), or the message
// for a person, naming the variable and what it takes.
std::string readSlowdown(const char *setting, double &factor);
// The PARPORT_MAXRATE setting, the same way (`rate` 0 when unset).
std::string readMaxRate(const char *setting, double &rate);
// Both settings, as the library reads them at its first write: "" or the
// message for the first that is wrong.
std::string readPacing(const char *slowdown, const char *maxRate, Pacing &pacing);
// Whether the person asked in the environment for slowed traffic: a valid
// PARPORT_SLOWDOWN above 1, or a valid PARPORT_MAXRATE. A program reads it once, at start-up, and only
// then lets a move be left midway; at full speed a move runs to its end.
bool slowedByEnvironment();

// The gap the library makes of a program's gap of `gap` ns under a slowdown
// of `slowdown`: that many times as long, but no gap past kLongestGap, and a
// gap over kLongestStretched left as it is.
unsigned long long stretchedGap(unsigned long long gap, double slowdown);
// The gap under both settings: the longer of the stretched gap and the rate's
// shortest gap. A gap already longer than both is left as it is.
unsigned long long pacedGap(unsigned long long gap, const Pacing &pacing);

}  // namespace traffic
