#include "capture.h"
#include "vcd.h"

#include <algorithm>

namespace simulador {

Capture capture(const published::Area &area, unsigned long long from, unsigned long long now)
{
    Capture taken;
    published::Cursor cursor(area, from);
    taken.known = cursor.before(taken.before);
    published::Write write;
    // What was there when the capture began: a writer going on is not chased.
    for (std::uint64_t left = cursor.waiting(); left > 0 && cursor.next(write); --left)
        if (write.time <= now)
            taken.writes.push_back(write);
    taken.lost = cursor.lateStart() || cursor.overrun() > 0;
    return taken;
}

std::string dump(const Capture &capture, const char *date)
{
    std::string text = vcd::header(date, MOTOR_VERSION);
    if (capture.writes.empty())
        return text;
    vcd::Lines lines;
    char buffer[vcd::kWriteMax];
    unsigned long long start = capture.writes.front().time;
    if (capture.known) {
        start = std::max<unsigned long long>(capture.before.time, start > kLead ? start - kLead : 0);
        text.append(buffer, vcd::write(buffer, lines, 0, capture.before.value));
    }
    unsigned long long time = start;
    for (const published::Write &write : capture.writes) {
        time = std::max<unsigned long long>(time, write.time);
        text.append(buffer, vcd::write(buffer, lines, time - start, write.value));
    }
    return text;
}

}  // namespace simulador
