#include "reader.h"

namespace simulador {

PortReader::PortReader(const published::Area &area, unsigned long long since) : area_(area), cursor_(area, since) {}

std::vector<published::Write> PortReader::take()
{
    std::vector<published::Write> writes;
    writes.reserve(cursor_.waiting());
    published::Write write;
    while (writes.size() < published::kRing && cursor_.next(write))
        writes.push_back(write);
    return writes;
}

published::Write PortReader::before() const
{
    published::Write write{};
    return cursor_.before(write) ? write : published::Write{};
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
