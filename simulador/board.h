// The driver board as the viewer models it: a step on each edge of the pulse
// line (bit 0), in the sense the direction line (bit 1) gives. No widgets.
#pragma once

namespace simulador {

constexpr int kStepsPerTurn = 96;

struct BoardSettings {
    bool fallingEdge = false;     // step on 1 -> 0 instead of 0 -> 1
    bool lowIsClockwise = true;   // direction line low turns clockwise
};

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
    double angle() const;                        // of the shaft mark, degrees clockwise in [0, 360)

private:
    bool known_ = false;
    int pulse_ = 0;
    int direction_ = 0;
    long position_ = 0;
    long steps_ = 0;
    int lastSense_ = 0;
};

}  // namespace simulador
