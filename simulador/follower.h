// What a real motor on the board would make of the writes a session takes:
// the motor model fed every write at its own time; whether it follows the
// pulses as they come now; how far the rotor stands from where the pulses
// asked it to be; and the advice that would make it follow: the rate, from
// the motor's start rate (once per motor and board), and, once a move it lost
// steps in has ended, the slowdown, each worked out on a thread of its own.
// No widgets, no clock: the time is given.
#pragma once

#include "stepper.h"

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace simulador {

// The motor counts as following the pulses as they come now when it has lost
// none over this long (of the model's time).
constexpr unsigned long long kRecent = 500000000;  // 0.5 s, the speed's window

// The advice that makes a motor follow, as the model gives it with its
// margins (askModel(), follower.cpp): its start rate (pulses a second), the
// PARPORT_MAXRATE that holds on any machine, and for some writes the smallest
// PARPORT_SLOWDOWN under which they are followed, also on a machine half as
// fast again (0: none would do; kNotAsked: not asked or not answered yet;
// kNotFound: not found within what the search may cost).
constexpr int kNotAsked = -1, kNotFound = -2;
struct Advice {
    double startRate = 0;
    int maxRate = 0;
    int slowdown = kNotAsked;
};

class Follower {
public:
    Follower();  // the default motor
    ~Follower(); // whatever is still being worked out is given up

    // The motor modelled: one of motorPresets() by name (any case), or one's
    // own from an INI file, named by a path (with a slash, or ending in
    // .ini). A name of neither (a hand-edited settings file) is taken as the
    // default. A file that can't be read leaves the motor as it was, and the
    // result says why (also on standard error). The model goes on as it was
    // until restart().
    std::string setMotor(const std::string &choice);
    const model::MotorParams &motor() const { return motor_; }
    const std::string &choice() const { return choice_; }  // the preset's name, or the file's path

    // The model anew, on a board of these rules, from the lines `lines` as
    // they stood at `time`: both hands stay where the rotor was. The motor's
    // start rate on that board is worked out, once, on a thread of its own.
    void restart(const traffic::BoardRules &rules, unsigned long long time, int lines);

    // Puts the hand of the pulses on the rotor, as homing the axis does at
    // the bench: the model and its board go on as they were; only where the
    // asked-for position is counted from moves, by the whole poles slipped.
    void align();

    // A write the board took at `time`: `fresh` when it is the first after a
    // silence (`previous` and `before`: the time and lines of the write before
    // it), `step` when the board made a step with it.
    void feed(unsigned long long time, int value, bool fresh, bool step, unsigned long long previous, int before);

    // At a frame: the rotor moved on to a little before `now`, the slowdown
    // asked for once the move has ended (`moving` false) and the rotor is at
    // rest, and what was worked out picked up.
    void tick(unsigned long long now, bool moving);

    // The shaft's two hands, in degrees clockwise in [0, 360): where the model
    // puts the rotor, and where the pulses asked it to be.
    double rotorDegrees() const;
    double commandedDegrees() const;

    // What the motor made of the writes (of those since the model was built).
    struct Following {
        bool seen = false;    // a move with a step
        bool losing = false;  // it lost steps within kRecent: it does not follow the pulses as they come now
        long lost = 0;        // pulses lost since the last move began
        // Pulses the rotor stands from where the pulses asked it to be, in
        // whole poles: positive when short of it clockwise; and since when
        // (the last slip's time).
        long apart = 0;
        unsigned long long since = 0;
        // The advice for this motor on this board (its start rate 0 until
        // worked out) and, of the last move, once it has ended, if it lost
        // steps, the slowdown (kNotAsked until answered). Of a move too long to
        // keep whole, the slowdown is of its first `kept` ns.
        Advice advice;
        unsigned long long kept = 0;
    };
    Following following() const;

private:
    void giveUp();  // the slowdown's job going on, if any
    void noteLosses();
    std::string boardKey() const;  // the start rate's key: the motor and the board's rules

    model::MotorParams motor_;
    std::string choice_;
    traffic::BoardRules rules_;
    model::MotorModel model_;
    double turned_ = 0;  // degrees the rotor had turned when the model was last built
    long aligned_ = 0;   // pulses the hand of the pulses was put back by (align())
    long lostSeen_ = 0;  // the model's count of lost pulses at the last look
    unsigned long long lastLoss_ = 0;
    bool lossSeen_ = false;
    // The writes since the last silence, with the lines before them first (at
    // most kMoveKept), and the model's count of lost pulses as they began.
    struct Stretch {
        std::vector<traffic::PortWrite> writes;
        bool cut = false;  // it went on past the writes kept
        long lostBefore = 0;
    } stretch_;
    // The model's last move: the last stretch with a step since it was built.
    struct MotorMove {
        bool seen = false;
        bool going = false;  // the stretch going on is it
        long lostBefore = 0;
        std::vector<traffic::PortWrite> writes;  // once a stretch after it began, until its slowdown is asked for
        bool cut = false;
        unsigned long long kept = 0;
        bool asked = false;
        int slowdown = kNotAsked;
    } move_;
    // Jobs on threads of their own: the slowdown of the last move, and the
    // start rate of each motor on each board (kept once known). A job no
    // longer wanted is told to stop, and left to end by itself.
    std::shared_ptr<std::atomic<bool>> giveUp_;
    std::future<int> job_;
    std::shared_ptr<std::atomic<bool>> closing_ = std::make_shared<std::atomic<bool>>(false);
    std::map<std::string, std::shared_future<Advice>> rates_;
    std::vector<std::future<int>> given_;
};

}  // namespace simulador
