// Follows the published writes of the port: what came since the last look,
// and which programs have the port open. No widgets.
#pragma once

#include "published.h"

#include <string>
#include <vector>

namespace simulador {

struct Program {
    int pid;
    std::string name;
};

class PortReader {
public:
    static constexpr unsigned long long kPresent = published::Cursor::kPresent;

    // `since`: where the first call starts, the present (kPresent) or the
    // oldest write the ring holds of those published from that monotonic
    // time on (an area opened again takes what was written meanwhile).
    explicit PortReader(const published::Area &area, unsigned long long since = kPresent);

    // The writes published since the last call, oldest first. Writes
    // overwritten before they could be read are counted in lost().
    std::vector<published::Write> take();
    unsigned long long lost() const { return cursor_.overrun(); }

    // The write before the first one take() yields: the lines as they stood
    // then (all 0 when the ring no longer holds it, or nothing was written).
    published::Write before() const;

    // The programs that have the port open now.
    std::vector<Program> programs() const;

private:
    const published::Area &area_;
    published::Cursor cursor_;
};

}  // namespace simulador
