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
    static constexpr unsigned long long kPresent = ~0ULL;

    // `since`: where the first call starts, the present (kPresent) or the
    // oldest write the ring holds of those published from that monotonic
    // time on (an area opened again takes what was written meanwhile).
    explicit PortReader(published::Area &area, unsigned long long since = kPresent);

    // The writes published since the last call, oldest first. Writes
    // overwritten before they could be read are counted in lost().
    std::vector<published::Write> take();
    unsigned long long lost() const { return lost_; }

    // The newest write, its value and time read as one (all 0 when nothing was ever written).
    published::Write last() const;

    // The programs that have the port open now.
    std::vector<Program> programs() const;

private:
    published::Area &area_;
    unsigned long long since_;
    unsigned long long next_ = 0;
    bool started_ = false;
    unsigned long long lost_ = 0;
};

}  // namespace simulador
