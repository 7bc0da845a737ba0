// What one viewer knows of the writes it is fed, without a window nor the
// area they come from: the board it models from them, its moves and the one
// held, the regularity figures, what the diagram shows (frozen or not), what
// a capture takes, and what a real motor would make of them (follower.h).
// The time is always given (the monotonic clock, in ns); no Qt.
#pragma once

#include "board.h"
#include "follower.h"
#include "moves.h"
#include "published.h"
#include "regularity.h"

#include <deque>
#include <string>

namespace simulador {

// The choices of the viewer's options, in order, and the span of each span
// choice in ns (0: the diagram shows kLongest and a capture takes all the ring holds).
constexpr int kEdgeChoices = 2, kSenseChoices = 2, kSpanChoices = 5;
constexpr unsigned long long kSpans[kSpanChoices] = {kSecond / 1000, kSecond / 100, kSecond / 10, kSecond, 0};

class Session {
public:
    // Follows the writes fed from `now` on, with the lines as `before` (the
    // write before the first fed, at the time the viewer gave it) left them.
    Session(const published::Write &before, unsigned long long now);

    // The options, each an index into its choices: one outside them (a
    // hand-edited settings file) is taken as the nearest.
    void setEdge(int choice);
    void setLowSense(int choice);
    void setSpan(int choice);
    int edge() const { return board_.settings.fallingEdge; }
    int lowSense() const { return !board_.settings.lowIsClockwise; }
    int span() const { return span_; }

    // The motor modelled (Follower::setMotor). The model, like the edge and
    // the sense, starts again from the present.
    std::string setMotor(const std::string &choice);
    const Follower &follower() const { return follower_; }
    // The hand of the pulses put back on the rotor (Follower::align()).
    void alignHands() { follower_.align(); }

    // Keeps what the diagram shows, and what a capture takes, as it is, while
    // the figures go on. A state of this session only: a viewer opens live.
    void setFrozen(bool frozen);
    bool frozen() const { return frozen_; }

    // A write, at the time the viewer gave it (AreaFeed): never before the
    // one fed before it, nor after the next tick's time.
    void feed(const published::Write &write);
    // What is shown brought up to `now`: the speed, the figures, the diagram
    // and its lines, the motor.
    void tick(unsigned long long now);

    const Board &board() const { return board_; }
    double speed() const { return speed_; }  // signed steps per second over the rate window
    // Steps per second as they come now: over the last tenth of a second of the move going on (or the last),
    // or over the move when it is shorter; 0 with fewer than two steps.
    double pace() const;
    const Moves &moves() const { return moves_; }
    bool moving() const { return moves_.moving(now_); }
    unsigned long long now() const { return now_; }  // the last tick's
    bool writing() const { return taken_ + kSecond > now_; }  // a write in the last second

    // How even the gaps between writes are: of the last second while the
    // motor moves, then of its last move's last second until the next begins
    // (no gaps: nothing to show).
    struct Figures {
        Regularity regularity;
        bool lastMove = false;
    };
    const Figures &figures() const { return figures_; }

    // What the diagram shows, and its lines: those kept when it was frozen,
    // the held move's whole, and no less than kLongest before the last write.
    const Frame &shown() const { return shown_; }
    const std::deque<Change> &changes() const { return frozen_ ? frozenChanges_ : changes_; }
    int valueBefore() const { return frozen_ ? frozenBefore_ : before_; }  // before the first change

    // What a capture takes at `now`: what the diagram shows (or all the ring holds).
    Asked asked(unsigned long long now) const;

private:
    void figure(unsigned long long now);
    Regularity gaps(unsigned long long from, unsigned long long to) const;
    int lines() const { return board_.pulse() | board_.direction() << 1; }
    void restart() { follower_.restart(board_.settings, taken_, lines()); }
    Frame frame(unsigned long long now) const;  // what the diagram frames: frozen, or at `now`

    Board board_;
    int span_ = 1;
    unsigned long long now_ = 0;
    unsigned long long taken_ = 0;  // the time given to the last write taken
    std::deque<Step> recent_;       // the steps of the last rate window
    double speed_ = 0;
    Moves moves_;
    std::deque<unsigned long long> written_;  // the times of the last second's writes
    Figures figures_;
    unsigned long long figuredAt_ = 0;     // when the figures were last worked out
    unsigned long long figuredMove_ = 0;   // the first write of the move they are the last move's figures of
    std::deque<Change> changes_;
    int before_ = 0;
    bool frozen_ = false;
    std::deque<Change> frozenChanges_;
    int frozenBefore_ = 0;
    Frame shown_;
    Follower follower_;
};

}  // namespace simulador
