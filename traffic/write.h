// One write to the port, and what a step/direction board makes of it. The
// library, the programs and the viewer all go by these: a rule about the
// lines is written here once.
#pragma once

namespace traffic {

// The data register of the first parallel port (0x378), the only address the
// programs write to and the only one a board on the port sees.
constexpr unsigned short kDataPort = 888;
// A turn of the programs: 96 pulses (a 48-step motor in half steps). A motor
// with more steps a turn turns less for it.
constexpr int kPulsesPerTurn = 96;

// One write: when (ns of CLOCK_MONOTONIC) and the value (bit 0 the pulse
// line, bit 1 the direction line).
struct PortWrite {
    unsigned long long time;
    int value;
};

// How a board reads the lines: a step on each rising edge of the pulse line
// (or falling, where the board says so), in the sense the direction line
// gives at that edge (low: clockwise, or the other way round).
struct BoardRules {
    bool fallingEdge = false;
    bool lowIsClockwise = true;

    // Whether the pulse line going from `before` to `after` (bit 0 of each) is a step.
    bool steps(int before, int after) const
    {
        const int was = before & 1, is = after & 1;
        return fallingEdge ? was && !is : !was && is;
    }
    // The sense of a step made with the lines at `value`: +1 clockwise, -1 counter-clockwise.
    int sense(int value) const { return ((value & 2) == 0) == lowIsClockwise ? 1 : -1; }
};

}  // namespace traffic
