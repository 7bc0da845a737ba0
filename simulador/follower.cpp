#include "follower.h"
#include "board.h"
#include "following.h"
#include "motors.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace simulador {

namespace {

// The most writes of a move kept for working out its slowdown: some 4.7 s of
// the programs' full speed, 4 MB, and at most a second or so of one core
// for suggestedSlowdown(). A longer move gets the slowdown of its start.
constexpr std::size_t kMoveKept = 1 << 18;

// The rotor is shown this far behind the clock: a write being published as a
// frame reads the clock, read only at the next, must not find the rotor past
// its time (it would be taken as at once after the writes before it).
constexpr unsigned long long kRotorLag = kSecond / 50;

// Thrown from a job's progress to stop it: its slowdown is no longer wanted.
struct GivenUp {};

bool ready(const std::future<int> &job) { return job.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

}  // namespace

Follower::Follower() : motor_(model::motorPresets().front()), choice_(motor_.name), model_(motor_) {}

Follower::~Follower() { giveUp(); }

std::string Follower::setMotor(const std::string &choice)
{
    model::MotorParams motor = model::motorPresets().front();
    const bool file = model::namesFile(choice);
    if (const std::string error = model::chooseMotor(choice, motor); !error.empty() && file) {
        std::fprintf(stderr, "simulador: %s\n", error.c_str());
        return error;
    } else if (!error.empty()) {
        motor = model::motorPresets().front();  // a name of none (a hand-edited settings file): the default
    }
    motor_ = motor;
    choice_ = file ? choice : motor.name;
    return {};
}

void Follower::restart(const traffic::BoardRules &rules, unsigned long long time, int lines)
{
    // Both hands stay where the rotor was: a motor changed, or a board that
    // counts its edges otherwise, starts from where the shaft stands.
    turned_ = rotorDegrees();
    giveUp();
    rules_ = rules;
    model_ = model::MotorModel(motor_, rules);
    model_.feed(time, lines);
    stretch_ = {{{time, lines}}, false, 0};
    move_ = {};
}

double Follower::rotorDegrees() const { return std::fmod(turned_ + model_.rotorDegrees(), 360); }
double Follower::commandedDegrees() const { return std::fmod(turned_ + model_.commandedDegrees(), 360); }

Follower::Following Follower::following() const
{
    if (!move_.seen)
        return {};
    const long lost = model_.lostSteps() - move_.lostBefore;
    return {true, lost, lost ? move_.slowdown : 1, move_.kept};
}

void Follower::giveUp()
{
    if (!job_.valid())
        return;
    *giveUp_ = true;
    given_.push_back(std::move(job_));
}

void Follower::feed(unsigned long long time, int value, bool fresh, bool step, unsigned long long previous, int before)
{
    model_.advanceTo(time);
    if (fresh) {  // after a silence: the move before, if it was the stretch that ended, is over
        if (move_.going && !move_.asked) {
            move_.writes = std::move(stretch_.writes);
            move_.cut = stretch_.cut;
        }
        move_.going = false;
        stretch_ = {{{previous, before}}, false, model_.lostSteps()};
    }
    model_.feed(time, value);
    if (stretch_.writes.size() < kMoveKept)
        stretch_.writes.push_back({time, value});
    else
        stretch_.cut = true;
    if (step && !move_.going) {
        giveUp();
        move_ = {true, true, stretch_.lostBefore, {}, false, 0, false, -1};
    }
}

void Follower::tick(unsigned long long now, bool moving)
{
    model_.advanceTo(now > kRotorLag ? now - kRotorLag : 0);
    if (job_.valid() && ready(job_))
        move_.slowdown = job_.get();
    given_.erase(std::remove_if(given_.begin(), given_.end(), ready), given_.end());
    // Once the move has ended and the rotor is at rest, its count is final:
    // then, if it lost any, the slowdown that would have done.
    if (!move_.seen || move_.asked || moving || !model_.settled() || !following().lost)
        return;
    move_.asked = true;
    std::vector<traffic::PortWrite> writes = move_.going ? stretch_.writes : std::move(move_.writes);
    if (move_.going ? stretch_.cut : move_.cut)
        move_.kept = writes.back().time - writes[1].time;
    giveUp_ = std::make_shared<std::atomic<bool>>(false);
    job_ = std::async(std::launch::async, [motor = motor_, writes = std::move(writes), giveUp = giveUp_,
                                           driver = rules_] {
        try {
            return model::suggestedSlowdown(motor, writes, driver, [&](double) {
                if (*giveUp)
                    throw GivenUp{};
            });
        } catch (const GivenUp &) {
            return -1;
        }
    });
}

}  // namespace simulador
