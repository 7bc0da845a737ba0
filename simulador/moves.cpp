#include "moves.h"

#include <algorithm>

namespace simulador {

double Move::stepsPerSecond() const
{
    return last > first ? double(steps) * kSecond / double(last - first) : 0;
}

bool Moves::feed(unsigned long long time, bool step)
{
    const bool fresh = !written_ || time - current_.last >= kStill;
    if (fresh) {
        if (current_.steps)
            done_ = current_;
        current_ = {time, time, 0};
    }
    written_ = true;
    current_.last = time;
    current_.steps += step;
    return fresh;
}

bool Moves::still(unsigned long long now) const
{
    return !written_ || (now > current_.last && now - current_.last >= kStill);
}

namespace {

// A move's frame: its last kLongest at most, a tenth of that either side and at least 10 µs.
Frame held(const Move &move)
{
    const unsigned long long first = std::max(move.first, move.last > kLongest ? move.last - kLongest : 0);
    const unsigned long long margin = std::max((move.last - first) / 10, kSecond / 100000);
    return {first > margin ? first - margin : 0, move.last + margin, 0, 0, true};
}

}  // namespace

unsigned long long heldFrom(const Move &move) { return held(move).start; }

Frame frameAt(const Moves &moves, unsigned long long now, unsigned long long span)
{
    const Move &move = moves.last();
    if (!move.steps || moves.moving(now)) {
        const unsigned long long shown = span ? span : kLongest;
        const unsigned long long start = now > shown ? now - shown : 0;
        return {start, now, span ? start : 0, now, false};
    }
    Frame frame = held(move);
    frame.from = span ? frame.start : 0;
    frame.to = span ? frame.end : now;
    return frame;
}

}  // namespace simulador
