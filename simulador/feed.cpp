#include "feed.h"
#include "board.h"

#include <algorithm>
#include <cstdio>

namespace simulador {

AreaFeed::AreaFeed(MappedArea area, unsigned long long now)
    : area_(std::move(area)), reader_(std::make_unique<PortReader>(area_.area())), checked_(now)
{
    before_ = reader_->before();
    before_.time = taken_ = takenTime(before_.time, 0, now);
}

std::vector<published::Write> AreaFeed::take(unsigned long long now)
{
    check(now);
    std::vector<published::Write> writes = reader_->take();
    for (published::Write &write : writes)
        write.time = taken_ = takenTime(write.time, taken_, now);
    return writes;
}

void AreaFeed::check(unsigned long long now)
{
    // A stat a second, not one a frame.
    if (now >= checked_ && now - checked_ < kSecond)
        return;
    const unsigned long long since = std::min(checked_, now);  // the area was still the one read then
    checked_ = now;
    state_ = State::Same;
    if (!area_.changed())
        return;
    std::string error;
    if (area_.map(area_.path(), error)) {
        reader_ = std::make_unique<PortReader>(area_.area(), since);
        state_ = State::Reopened;
        error_.clear();
        return;
    }
    state_ = State::Missing;
    if (error != error_)  // said once, not every second
        std::fprintf(stderr, "simulador: %s\n", error.c_str());
    error_ = error;
}

}  // namespace simulador
