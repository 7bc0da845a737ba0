#include "capture.h"
#include "vcd.h"

#include <algorithm>

namespace simulador {

Capture capture(const published::Area &area, unsigned long long from, unsigned long long now)
{
    Capture taken;
    const std::uint64_t head = area.writes.load(std::memory_order_acquire);
    const std::uint64_t oldest = head > published::kRing ? head - published::kRing : 0;
    std::uint64_t n = head;
    for (; n > oldest; --n) {
        published::Write write;
        if (!published::read(area, n - 1, write)) {
            if (n == head)
                continue;  // the newest, still being filled
            taken.lost = true;  // overwritten while we read: older ones are gone too
            break;
        }
        if (write.time < from)
            break;
        if (write.time <= now)
            taken.writes.push_back(write);
    }
    // Writes older than the ring's oldest were lost, unless the span began after them.
    taken.lost = taken.lost || (n == oldest && oldest > 0);
    std::reverse(taken.writes.begin(), taken.writes.end());
    return taken;
}

std::string dump(const Capture &capture, const char *date)
{
    std::string text = vcd::header(date, MOTOR_VERSION);
    vcd::Lines lines;
    char buffer[vcd::kWriteMax];
    const unsigned long long start = capture.writes.empty() ? 0 : capture.writes.front().time;
    unsigned long long time = start;
    for (const published::Write &write : capture.writes) {
        time = std::max<unsigned long long>(time, write.time);
        text.append(buffer, vcd::write(buffer, lines, time - start, write.value));
    }
    return text;
}

}  // namespace simulador
