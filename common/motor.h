// What both programs know about the driver board: the port, the patterns and
// the counts. Bit 0 of a value is the pulse line, bit 1 the direction line.
#pragma once

#include "write.h"

namespace motor {

constexpr short kPuerto = traffic::kDataPort;  // data register of the first parallel port (0x378)
constexpr int kPulsesPerTurn = traffic::kPulsesPerTurn;

// The two values of one pulse: first, then second.
struct Pattern {
    short first;
    short second;
};

constexpr Pattern kVueltasRight{1, 0};    // pulse line up then down, direction low
constexpr Pattern kVueltasLeft{3, 2};     // the same, direction high
constexpr Pattern kRotacionRight{2, 3};   // pulse line down then up, direction high
constexpr Pattern kRotacionLeft{0, 1};    // the same, direction low

}  // namespace motor
