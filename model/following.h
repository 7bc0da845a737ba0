// Whether a motor follows some traffic, and what would make it: the model run
// over a file's writes (paced as PARPORT_SLOWDOWN and PARPORT_MAXRATE pace
// them), the motor's start rate and resonance bands found from steady trains,
// the rate to advise with a margin a busy machine can't eat, and the smallest
// slowdown that makes a file followed with a margin too. No Qt, no clock.
#pragma once

#include "pacing.h"
#include "stepper.h"
#include "tracefile.h"

#include <functional>
#include <utility>
#include <vector>

namespace model {

using traffic::Progress;
using traffic::WriteLog;

// How much faster than the recording's machine the slowdown's advice must
// still hold: every gap a third shorter. A slowdown stretches the gaps a
// program makes, and those are shorter on a faster or less busy machine.
constexpr double kFasterMachine = 1.5;

// The slowdown past which no gap of `writes` grows any more (at most the
// library's 100000), with every gap first divided by `faster`.
int slowdownLimit(const WriteLog &writes, double faster = 1);

struct RunOptions {
    traffic::Pacing pacing;  // the gaps as the library paces them: PARPORT_SLOWDOWN, PARPORT_MAXRATE
    double faster = 1;       // the machine this many times as fast: every gap divided by it before the pacing
    DriverSettings driver;
    bool stopAtFirstSlip = false;  // enough to know that it is not followed
    // After the last write, how long the rotor is watched at most (ns; 0:
    // until it comes to rest). A rotor that overshoots slips within its first
    // swings; a motor with no friction can ring for seconds.
    unsigned long long watchAfter = 0;
    // The model's steps at most (0: no bound): past them the run stops, cut.
    unsigned long long mostWork = 0;
    // Called after each write, between writes at the times `nextLook` gives
    // (unset: at writes only), and while the rotor comes to rest after the
    // last one.
    std::function<void(const MotorModel &)> observe;
    std::function<unsigned long long(unsigned long long now)> nextLook;
    // Told the share of the writes fed, every 4096 writes and every 65536
    // of the model's steps: often enough to stop a long run by throwing.
    Progress progress;
};

// What the motor made of some writes, once at rest after the last one.
struct Run {
    long pulses = 0;     // step pulses in the writes
    long commanded = 0;  // where they asked the rotor to go, in steps, clockwise
    double rotor = 0;    // where it went
    long lost = 0;       // pulses lost, every slip counted
    unsigned long long start = 0, end = 0;  // the first write's time, and when the rotor was at rest after the last
    size_t writes = 0;                      // writes fed, up to the first slip when stopped there
    unsigned long long work = 0;            // the model's steps: what the run cost
    bool cut = false;                       // stopped at RunOptions::mostWork, its verdict unknown
    bool followed() const { return lost == 0 && !cut; }
};

Run runMotor(const MotorParams &motor, const WriteLog &writes, const RunOptions &options = {});

// Writes that make step pulses at `times` (s, from the first), clockwise on
// the default board, after the lines have been low for a moment: each
// pulse's line falls half way to the next. `back`, where given and true, makes
// that pulse counter-clockwise.
std::vector<PortWrite> pulseTrain(const std::vector<double> &times, const std::vector<bool> &back = {});
// The times of a steady rate (pulses a second) for `seconds`, and of a rate
// changing evenly from one figure to another over `seconds`.
std::vector<double> steadyTimes(double rate, double seconds);
std::vector<double> rampTimes(double from, double to, double seconds);

// Whether the motor, at rest, follows `rate` pulses a second for one second
// and stops with them, on a board of these rules; in both senses when a load
// makes them differ.
bool followsFromRest(const MotorParams &motor, double rate, DriverSettings driver = {});

struct StartRate {
    double rate = 0;  // pulses a second: the highest steady rate followed from rest, either way
    std::vector<std::pair<double, double>> bands;  // below it, ranges of rates where steps are lost
};
StartRate findStartRate(const MotorParams &motor, const Progress &progress = {}, DriverSettings driver = {});

// Whether the motor follows traffic capped at `rate` pulses a second however
// a busy machine delays its pulses: from rest, one pulse late by up to one
// and a half periods of the rotor's ringing after any of its first pulses,
// every k-th pulse late, and a reversal at that rate.
bool followsLatePulses(const MotorParams &motor, double rate, DriverSettings driver = {});
// The PARPORT_MAXRATE to advise for a motor whose start rate is `startRate`:
// the highest rate of two significant figures, at most three quarters of the
// start rate, that followsLatePulses(); 0 when none of 5 pulses a second or
// more is.
double advisedRate(const MotorParams &motor, double startRate, DriverSettings driver = {},
                   const Progress &progress = {});

// The rate at which a slow ramp up, from half the start rate, first loses a
// step: how fast the motor can be brought once it turns.
double pullOutRate(const MotorParams &motor, double startRate);

// The smallest whole PARPORT_SLOWDOWN under which the motor follows `writes`
// both as they were recorded and with every gap kFasterMachine times shorter:
// 1 when it does already, 0 when no slowdown makes it, -1 when the search's
// cost ran out first. That cost is bounded by the writes, whatever the motor
// or the traffic: the model's work of kSearchWork steps a write and
// kLeastSearchWork more, some 0.5 s of one core for 262,144 writes (see
// bench_motor advice). Where each run costs much (losses that come late, a
// motor that never comes to rest between slow pulses) the answer may be a
// slowdown that is followed, if not the smallest. `progress` is told how far
// the search has gone, regularly through each run; `work`, when given, what
// it cost in steps.
constexpr double kSearchWork = 40, kLeastSearchWork = 2e6;
int suggestedSlowdown(const MotorParams &motor, const WriteLog &writes, DriverSettings driver = {},
                      const Progress &progress = {}, double *work = nullptr);

// What to tell a person whose motor lost steps, or might: the settings that
// make it follow. The motor's rates are the same for every move, so they are
// worked out once for a motor and a board and kept; the slowdown's search is
// bounded as suggestedSlowdown() says.
struct Advice {
    StartRate start;   // the motor's start rate, and its bands
    double rate = 0;   // the PARPORT_MAXRATE advised: advisedRate(); holds on any machine
    int slowdown = 0;  // the PARPORT_SLOWDOWN advised: suggestedSlowdown(), for the machine recorded on only
};
Advice advise(const MotorParams &motor, DriverSettings driver, const WriteLog &writes,
              const Progress &progress = {});
// The motor's rates alone, as advise() keeps them: at once when asked before.
Advice motorRates(const MotorParams &motor, DriverSettings driver = {}, const Progress &progress = {});

}  // namespace model
