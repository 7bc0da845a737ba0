#include "reader.h"

namespace simulador {

PortReader::PortReader(published::Area &area, unsigned long long since) : area_(area), since_(since) {}

std::vector<published::Write> PortReader::take()
{
    const unsigned long long head = area_.writes.load(std::memory_order_acquire);
    if (!started_ || head < next_) {  // the first look, or an area made anew
        next_ = head;
        published::Write write;
        while (!started_ && next_ > 0 && head - next_ < published::kRing && published::read(area_, next_ - 1, write) &&
               write.time >= since_)
            --next_;
        started_ = true;
    }
    if (head - next_ > published::kRing) {
        lost_ += head - next_ - published::kRing;
        next_ = head - published::kRing;
    }
    std::vector<published::Write> writes;
    writes.reserve(head - next_);
    for (; next_ < head; ++next_) {
        published::Write write;
        if (published::read(area_, next_, write)) {
            writes.push_back(write);
        } else if (area_.ring[next_ % published::kRing].seq.load(std::memory_order_acquire) > next_ + 1) {
            ++lost_;  // overwritten while we looked
        } else {
            break;  // still being written: next time
        }
    }
    return writes;
}

published::Write PortReader::last() const
{
    published::Write write{};
    return published::last(area_, write) ? write : published::Write{};
}

std::vector<Program> PortReader::programs() const
{
    std::vector<Program> programs;
    for (int slot = 0; slot < published::kWriters; ++slot) {
        Program program;
        if (published::writer(area_, slot, program.pid, program.name))
            programs.push_back(program);
    }
    return programs;
}

}  // namespace simulador
