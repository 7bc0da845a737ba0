// The motor's moves, held like an oscilloscope's single shot: what the timing
// diagram frames, and what a capture takes. No widgets, no clock: the time is
// always given.
#pragma once

#include "board.h"

namespace simulador {

// The motor counts as still once nothing has been written for this long. A
// vueltas turn is 3.4 ms of writes 17 µs apart, and rotacion at its slowest
// writes every 0.3 ms (with PARPORT_SLOWDOWN a gap reaches 0.1 s at most), so
// a silence of 0.2 s is past any gap within a move, and short enough that a
// turn is held before anyone looks.
constexpr unsigned long long kStill = kSecond / 5;

// The most the diagram shows: its longest span, and what it keeps.
constexpr unsigned long long kLongest = 2 * kSecond;

// A move: writes each less than kStill after the one before, with at least
// one step among them, from its first write to its last.
struct Move {
    unsigned long long first = 0, last = 0;
    long steps = 0;
    double stepsPerSecond() const;  // its steps over its length; 0 for one of no length
};

class Moves {
public:
    // A write taken at `time` (never before the one before it), and whether
    // the board made a step with it. Returns whether it was the first write
    // after a silence (or ever): one that may begin a move.
    bool feed(unsigned long long time, bool step);
    // The move going on, else the last one that ended (no steps: none yet).
    // Writes with no step after a silence start no move: the last one stays.
    const Move &last() const { return current_.steps ? current_ : done_; }
    // Whether nothing has been written for kStill up to `now` (or ever).
    bool still(unsigned long long now) const;
    // Whether a move is going on: a step since the last silence, and no silence since.
    bool moving(unsigned long long now) const { return current_.steps && !still(now); }

private:
    Move current_;  // the writes since the last silence
    Move done_;     // the last move before them
    bool written_ = false;
};

// What the diagram shows (`start` to `end`) and what a capture takes (`from`
// to `to`).
struct Frame {
    unsigned long long start = 0, end = 0;
    unsigned long long from = 0, to = 0;
    bool held = false;  // the last move, the motor still
};

// At `now`, with the span chosen (0: the diagram shows kLongest and a capture
// takes all the ring holds). While the motor moves, and before its first
// move, the span up to now. Once it is still, its last move (its last
// kLongest, if longer) with a tenth of its length, and at least 10 µs, either
// side, until a new move begins; a capture then takes that, unless all is
// asked for.
Frame frameAt(const Moves &moves, unsigned long long now, unsigned long long span);
// Where the diagram starts when it holds `move`: what it must keep of the lines.
unsigned long long heldFrom(const Move &move);

// What a capture is asked to take (Session::asked(), from a frame): from
// `from` (0: all the ring holds) up to `to`, and what it is of, for its
// messages.
struct Asked {
    unsigned long long from = 0, to = 0;
    bool all = false;       // all the ring holds was asked for («2 s (y guardar todo)»)
    bool lastMove = false;  // the last move, held while the motor is still
    bool frozen = false;    // what «Congelar» froze
};

}  // namespace simulador
