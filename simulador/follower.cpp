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
// the programs' full speed, 4 MB. The model's advice bounds its search by the
// writes it is given, within a second of one core for this many; a longer
// move gets the slowdown of its start.
constexpr std::size_t kMoveKept = 1 << 18;

// The rotor is shown this far behind the clock: a write being published as a
// frame reads the clock, read only at the next, must not find the rotor past
// its time (it would be taken as at once after the writes before it).
constexpr unsigned long long kRotorLag = kSecond / 50;

// Thrown from a job's progress to stop it: its answer is no longer wanted.
struct GivenUp {};

template <class T>
bool ready(const std::future<T> &job) { return job.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

// The one place the model is asked for advice, with its margins (model::advise).
// With no writes: the motor's start rate on this board and the rate advised;
// with writes: also the slowdown under which they are followed, as they came
// and with every gap a third shorter.
Advice askModel(const model::MotorParams &motor, const traffic::BoardRules &rules,
              const std::vector<traffic::PortWrite> &writes, const model::Progress &progress)
{
    const model::Advice found =
        writes.empty() ? model::motorRates(motor, rules, progress) : model::advise(motor, rules, writes, progress);
    return {found.start.rate, int(found.rate), writes.empty() ? kNotAsked : found.slowdown < 0 ? kNotFound
                                                                                             : found.slowdown};
}

}  // namespace

Follower::Follower() : motor_(model::motorPresets().front()), choice_(motor_.name), model_(motor_) {}

Follower::~Follower()
{
    giveUp();
    *closing_ = true;  // the start rates still being worked out stop too
}

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

std::string Follower::boardKey() const
{
    char key[512];
    const model::MotorParams &m = motor_;
    std::snprintf(key, sizeof key, "%s %d %g %g %g %g %g %g %g %g %g %g %d %d", m.name.c_str(), m.fullSteps,
                  m.holdingTorque, m.current, m.resistance, m.inductance, m.voltage, m.inertia, m.detentTorque,
                  m.coulombTorque, m.viscousDamping, m.loadTorque, rules_.fallingEdge, rules_.lowIsClockwise);
    return key;
}

void Follower::restart(const traffic::BoardRules &rules, unsigned long long time, int lines)
{
    // Both hands stay where the rotor was: a motor changed, or a board that
    // counts its edges otherwise, starts from where the shaft stands.
    turned_ = rotorDegrees();
    aligned_ = 0;
    giveUp();
    rules_ = rules;
    model_ = model::MotorModel(motor_, rules);
    model_.feed(time, lines);
    lostSeen_ = 0;
    lossSeen_ = false;
    stretch_ = {{{time, lines}}, false, 0};
    move_ = {};
    // Its start rate, once for each motor and board: a tenth of a second or so, never on a frame.
    if (!rates_.count(boardKey()))
        rates_[boardKey()] = std::async(std::launch::async, [motor = motor_, rules, closing = closing_] {
            try {
                return askModel(motor, rules, {}, [&](double) {
                    if (*closing)
                        throw GivenUp{};
                });
            } catch (const GivenUp &) {
                return Advice{};
            }
        }).share();
}

void Follower::align() { aligned_ += following().apart; }

double Follower::rotorDegrees() const { return std::fmod(turned_ + model_.rotorDegrees(), 360); }

double Follower::commandedDegrees() const
{
    const double degrees = std::fmod(turned_ + model_.commandedDegrees() - 360.0 * double(aligned_) /
                                                                                 motor_.pulsesPerTurn(), 360);
    return degrees < 0 ? degrees + 360 : degrees;
}

Follower::Following Follower::following() const
{
    Following f;
    // The model's steps since it was built, the hand of the pulses as put back; whole poles of 8 pulses.
    const double apart = double(model_.commandedSteps() - aligned_) - model_.rotorSteps();
    f.apart = 8 * std::lround(apart / 8);
    f.since = lastLoss_;
    if (const auto rate = rates_.find(boardKey()); rate != rates_.end() &&
                                                    rate->second.wait_for(std::chrono::seconds(0)) ==
                                                        std::future_status::ready)
        f.advice = rate->second.get();
    if (!move_.seen)
        return f;
    f.seen = true;
    f.losing = lossSeen_ && model_.time() < lastLoss_ + kRecent;
    f.lost = model_.lostSteps() - move_.lostBefore;
    f.advice.slowdown = f.lost ? move_.slowdown : 1;
    f.kept = move_.kept;
    return f;
}

void Follower::giveUp()
{
    if (!job_.valid())
        return;
    *giveUp_ = true;
    given_.push_back(std::move(job_));
}

void Follower::noteLosses()
{
    if (model_.lostSteps() != lostSeen_) {
        lostSeen_ = model_.lostSteps();
        lastLoss_ = model_.time();
        lossSeen_ = true;
    }
}

void Follower::feed(unsigned long long time, int value, bool fresh, bool step, unsigned long long previous, int before)
{
    model_.advanceTo(time);
    noteLosses();
    if (fresh) {  // after a silence: the move before, if it was the stretch that ended, is over
        if (move_.going && !move_.asked) {
            move_.writes = std::move(stretch_.writes);
            move_.cut = stretch_.cut;
        }
        move_.going = false;
        stretch_ = {{{previous, before}}, false, model_.lostSteps()};
    }
    model_.feed(time, value);
    noteLosses();
    if (stretch_.writes.size() < kMoveKept)
        stretch_.writes.push_back({time, value});
    else
        stretch_.cut = true;
    if (step && !move_.going) {
        giveUp();
        move_ = {true, true, stretch_.lostBefore, {}, false, 0, false, kNotAsked};
    }
}

void Follower::tick(unsigned long long now, bool moving)
{
    model_.advanceTo(now > kRotorLag ? now - kRotorLag : 0);
    noteLosses();
    if (job_.valid() && ready(job_))
        move_.slowdown = job_.get();
    given_.erase(std::remove_if(given_.begin(), given_.end(), ready<int>), given_.end());
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
                                           rules = rules_] {
        try {
            return askModel(motor, rules, writes, [&](double) {
                if (*giveUp)
                    throw GivenUp{};
            }).slowdown;
        } catch (const GivenUp &) {
            return kNotAsked;  // no longer wanted: dropped unread
        }
    });
}

}  // namespace simulador
