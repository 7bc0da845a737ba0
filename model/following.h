// Whether a motor follows some traffic, and what would make it: the model run
// over a file's writes (stretched as PARPORT_SLOWDOWN stretches them), the
// motor's start rate and resonance bands found from steady trains, and the
// smallest slowdown that makes a file followed. No Qt, no clock.
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

// The slowdown past which no gap of `writes` grows any more (at most the
// library's 100000).
int slowdownLimit(const WriteLog &writes);

struct RunOptions {
    double slowdown = 1;
    DriverSettings driver;
    bool stopAtFirstSlip = false;  // enough to know that it is not followed
    // Called after each write, and every `sampleEvery` ns between writes
    // while the rotor moves (0: at writes only), and while it comes to rest
    // after the last one.
    std::function<void(const MotorModel &)> observe;
    unsigned long long sampleEvery = 0;
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
    bool followed() const { return lost == 0; }
};

Run runMotor(const MotorParams &motor, const WriteLog &writes, const RunOptions &options = {});

// Writes that make step pulses at `times` (s, from the first), clockwise on
// the default board, after the lines have been low for a moment: each
// pulse's line falls half way to the next.
std::vector<PortWrite> pulseTrain(const std::vector<double> &times);
// The times of a steady rate (pulses a second) for `seconds`, and of a rate
// changing evenly from one figure to another over `seconds`.
std::vector<double> steadyTimes(double rate, double seconds);
std::vector<double> rampTimes(double from, double to, double seconds);

// Whether the motor, at rest, follows `rate` pulses a second for one second
// and stops with them.
bool followsFromRest(const MotorParams &motor, double rate);

struct StartRate {
    double rate = 0;  // pulses a second: the highest steady rate followed from rest
    std::vector<std::pair<double, double>> bands;  // below it, ranges of rates where steps are lost
};
StartRate findStartRate(const MotorParams &motor, const Progress &progress = {});

// The rate at which a slow ramp up, from half the start rate, first loses a
// step: how fast the motor can be brought once it turns.
double pullOutRate(const MotorParams &motor, double startRate);

// The smallest whole PARPORT_SLOWDOWN under which the motor follows `writes`:
// 1 when it does already, 0 when no slowdown makes it. Its cost is bounded by
// the writes, whatever the motor: the model's work of kSearchWork steps a
// write, and kLeastSearchWork more, then two runs at most. When a motor never
// comes to rest between slow pulses, so that each run costs much, the search
// may stop there with a slowdown that is followed, if not the smallest. `progress` is told how far the search has gone, regularly
// through each run; `work`, when given, what the search cost in steps.
constexpr double kSearchWork = 10000, kLeastSearchWork = 1e7;
int suggestedSlowdown(const MotorParams &motor, const WriteLog &writes, DriverSettings driver = {},
                      const Progress &progress = {}, double *work = nullptr);

}  // namespace model
