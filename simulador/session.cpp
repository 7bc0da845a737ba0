#include "session.h"

#include <algorithm>

namespace simulador {

namespace {

// Bounds what the diagram keeps, whatever a program writes.
constexpr std::size_t kKept = 200000;

}  // namespace

Session::Session(const published::Write &before, unsigned long long now) : now_(now), taken_(before.time)
{
    // The lines as they stand before the viewer saw any write.
    board_.feed(before.value);
    changes_.push_back({taken_, before.value});
    shown_ = frame(now);
    restart();
}

void Session::setEdge(int choice)
{
    const bool falling = std::clamp(choice, 0, kEdgeChoices - 1);
    if (falling != board_.settings.fallingEdge) {
        board_.settings.fallingEdge = falling;
        restart();
    }
}

void Session::setLowSense(int choice)
{
    const bool clockwise = !std::clamp(choice, 0, kSenseChoices - 1);
    if (clockwise != board_.settings.lowIsClockwise) {
        board_.settings.lowIsClockwise = clockwise;
        restart();
    }
}

void Session::setSpan(int choice) { span_ = std::clamp(choice, 0, kSpanChoices - 1); }

std::string Session::setMotor(const std::string &choice)
{
    std::string error = follower_.setMotor(choice);
    if (error.empty())
        restart();
    return error;
}

void Session::setFrozen(bool frozen)
{
    frozen_ = frozen;
    frozenChanges_ = frozen ? changes_ : std::deque<Change>();
    frozenBefore_ = before_;
}

void Session::feed(const published::Write &write)
{
    const unsigned long long previous = taken_;
    const int before = lines();
    taken_ = write.time;
    const long steps = board_.steps();
    board_.feed(write.value);
    const bool step = board_.steps() != steps;
    if (step)
        recent_.push_back({taken_, board_.lastSense()});
    const bool fresh = moves_.feed(taken_, step);
    written_.push_back(taken_);
    changes_.push_back({taken_, write.value});
    follower_.feed(taken_, write.value, fresh, step, previous, before);
}

void Session::tick(unsigned long long now)
{
    now_ = now;
    // What the longest span shows, and the held move whole: a stepless write
    // after a silence (a program's last 0) must not take the move away.
    const Move &move = moves_.last();
    const unsigned long long keep =
        std::min(taken_ > kLongest ? taken_ - kLongest : 0, move.steps ? heldFrom(move) : ~0ULL);
    while (!changes_.empty() && (changes_.size() > kKept || changes_.front().time < keep)) {
        before_ = changes_.front().value;
        changes_.pop_front();
    }
    while (!recent_.empty() && recent_.front().time + kRateWindow < now)
        recent_.pop_front();
    speed_ = stepsPerSecond(recent_, now);
    follower_.tick(now, moving());
    figure(now);
    shown_ = frame(now);
}

void Session::figure(unsigned long long now)
{
    while (!written_.empty() && written_.front() + kSecond < taken_)
        written_.pop_front();
    const Move &move = moves_.last();
    if (moves_.moving(now)) {
        // Four times a second: sorting a second of rotacion's writes each
        // frame would take a core's time from the program being watched.
        if (figures_.lastMove || now < figuredAt_ || now - figuredAt_ >= kSecond / 4) {
            figuredAt_ = now;
            figures_ = {gaps(now > kSecond ? now - kSecond : 0, now), false};
        }
    } else if (move.steps && !(figures_.lastMove && figuredMove_ == move.first)) {
        // Once, as the move ends: they stay for a person to read until the next.
        figures_ = {gaps(move.last > kSecond ? move.last - kSecond : 0, move.last), true};
        figuredMove_ = move.first;
    }
}

Regularity Session::gaps(unsigned long long from, unsigned long long to) const
{
    std::vector<unsigned long long> between;
    for (std::size_t i = 1; i < written_.size(); ++i)
        if (written_[i - 1] >= from && written_[i] <= to &&
            written_[i] - written_[i - 1] < kStill)  // a silence between moves is no gap between pulses
            between.push_back(written_[i] - written_[i - 1]);
    return regularity(std::move(between));
}

double Session::pace() const
{
    // Over the steps' own span: n steps are n - 1 gaps.
    constexpr unsigned long long kPace = kSecond / 10;
    const Move &move = moves_.last();
    const unsigned long long from = std::max(move.first, move.last > kPace ? move.last - kPace : 0);
    unsigned long long first = 0, last = 0;
    long steps = 0;
    for (const Step &step : recent_)
        if (step.time >= from && step.time <= move.last)
            first = steps++ ? first : step.time, last = step.time;
    return steps > 1 && last > first ? double(steps - 1) * double(kSecond) / double(last - first) : 0;
}

Frame Session::frame(unsigned long long now) const { return frozen_ ? shown_ : frameAt(moves_, now, kSpans[span_]); }

Asked Session::asked(unsigned long long now) const
{
    const Frame shown = frame(now);
    return {shown.from, shown.to, !kSpans[span_], !frozen_ && shown.held && kSpans[span_], frozen_};
}

}  // namespace simulador
