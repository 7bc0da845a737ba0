// What a real motor on the board would make of the writes a session takes:
// the motor model fed every write at its own time, and, once a move it lost
// steps in has ended, the smallest slowdown that would have made it follow,
// worked out on a thread of its own. No widgets, no clock: the time is given.
#pragma once

#include "stepper.h"

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace simulador {

class Follower {
public:
    Follower();  // the default motor
    ~Follower(); // a slowdown still being worked out is given up

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
    // they stood at `time`: both hands stay where the rotor was.
    void restart(const traffic::BoardRules &rules, unsigned long long time, int lines);

    // A write the board took at `time`: `fresh` when it is the first after a
    // silence (`previous` and `before`: the time and lines of the write before
    // it), `step` when the board made a step with it.
    void feed(unsigned long long time, int value, bool fresh, bool step, unsigned long long previous, int before);

    // At a frame: the rotor moved on to a little before `now`, the slowdown
    // asked for once the move has ended (`moving` false) and the rotor is at
    // rest, and picked up once answered.
    void tick(unsigned long long now, bool moving);

    // The shaft's two hands, in degrees clockwise in [0, 360): where the model
    // puts the rotor, and where the pulses asked it to be.
    double rotorDegrees() const;
    double commandedDegrees() const;

    // What the motor made of its last move (of those begun since the model
    // was built): the pulses it lost since the move began, and the smallest
    // PARPORT_SLOWDOWN it would have followed: 1 while it loses none; else
    // -1 until the move has ended and suggestedSlowdown() over its writes,
    // on a thread of its own, has answered; 0 when none would do. Of a move
    // too long to keep whole, that is of its first `kept` ns.
    struct Following {
        bool seen = false;
        long lost = 0;
        int slowdown = -1;
        unsigned long long kept = 0;
    };
    Following following() const;

private:
    void giveUp();  // the job going on, if any

    model::MotorParams motor_;
    std::string choice_;
    traffic::BoardRules rules_;
    model::MotorModel model_;
    double turned_ = 0;  // degrees the rotor had turned when the model was last built
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
        int slowdown = -1;
    } move_;
    std::shared_ptr<std::atomic<bool>> giveUp_;  // tells the job working out the slowdown to stop
    std::future<int> job_;
    std::vector<std::future<int>> given_;  // jobs given up, left to end by themselves
};

}  // namespace simulador
