#include "board.h"

#include <algorithm>

namespace simulador {

void Board::feed(int value)
{
    if (known_ && settings.steps(pulse_, value)) {
        lastSense_ = settings.sense(value);
        position_ += lastSense_;
        ++steps_;
    }
    known_ = true;
    pulse_ = value & 1;
    direction_ = (value >> 1) & 1;
}

unsigned long long takenTime(unsigned long long time, unsigned long long previous, unsigned long long now)
{
    return std::max(previous, std::min(time, now));
}

double stepsPerSecond(const std::deque<Step> &steps, unsigned long long now)
{
    long sum = 0;
    for (const Step &step : steps)
        if (step.time + kRateWindow >= now && step.time <= now)
            sum += step.sense;
    return double(sum) * kSecond / kRateWindow;
}

const char *senseName(double stepsPerSecond)
{
    return stepsPerSecond > 0 ? "horario" : stepsPerSecond < 0 ? "antihorario" : "parado";
}

std::vector<unsigned char> columnLevels(const std::deque<Change> &changes, int before, unsigned long long now,
                                        unsigned long long span, int width, int line)
{
    std::vector<unsigned char> seen(size_t(width), 0);
    const unsigned long long start = now > span ? now - span : 0;
    auto column = [&](unsigned long long t) {
        return t <= start ? 0 : int(std::min<unsigned long long>(width - 1, (t - start) * width / span));
    };
    int level = before, from = 0;
    auto mark = [&](int to) {
        for (int x = from; x <= to; ++x)
            seen[size_t(x)] |= 1 << ((level >> line) & 1);
    };
    for (const Change &change : changes) {
        if (change.time > now)
            break;
        if (change.time > start) {  // before the span only its level counts
            const int to = column(change.time);
            mark(to);
            from = to;
        }
        level = change.value;
    }
    mark(width - 1);
    return seen;
}

}  // namespace simulador
