// The driver board as the viewer models it: a step on each edge of the pulse
// line (bit 0), in the sense the direction line (bit 1) gives; and the
// figures the viewer draws from it. No widgets.
#pragma once

#include "stepper.h"

#include <deque>
#include <vector>

namespace simulador {

constexpr unsigned long long kSecond = 1000000000ULL;  // times are in ns
constexpr unsigned long long kRateWindow = kSecond / 2;  // speed is averaged over this

using BoardSettings = traffic::BoardRules;  // the same rules as the motor's driver follows

class Board {
public:
    BoardSettings settings;

    // One value written to the port. The first value only sets the lines: a
    // board seen from the middle of a run has no edge to go by.
    void feed(int value);

    long position() const { return position_; }  // steps, clockwise positive
    long steps() const { return steps_; }        // every step, either way
    int pulse() const { return pulse_; }
    int direction() const { return direction_; }
    int lastSense() const { return lastSense_; } // +1 clockwise, -1 counter, 0 none yet

private:
    bool known_ = false;
    int pulse_ = 0;
    int direction_ = 0;
    long position_ = 0;
    long steps_ = 0;
    int lastSense_ = 0;
};

// The time the viewer gives a write published at `time`, the previous write
// given `previous`: never after `now` and never before `previous`. A step
// stamped in the future (a writer whose clock is ahead, in another time
// namespace) would never count in the speed and, never growing old, would
// hold up the forgetting of every step after it; two writers on one area
// interleave their times out of order.
unsigned long long takenTime(unsigned long long time, unsigned long long previous, unsigned long long now);

// A step the board made: when, and its sense (+1 clockwise, -1 counter).
struct Step {
    unsigned long long time;
    int sense;
};

// Signed steps per second over the rate window up to `now`; older steps don't count.
double stepsPerSecond(const std::deque<Step> &steps, unsigned long long now);

// "horario", "antihorario" or "parado", from the signed speed.
const char *senseName(double stepsPerSecond);

// A value on the lines from `time` on.
struct Change {
    unsigned long long time;
    int value;
};

// What one line (bit `line` of the values) did in each of `width` columns
// spanning `span` ns up to `now`: 1 low, 2 high, 3 both. `before` is the value
// before the first change; changes after `now` are not shown yet.
std::vector<unsigned char> columnLevels(const std::deque<Change> &changes, int before, unsigned long long now,
                                        unsigned long long span, int width, int line);

}  // namespace simulador
