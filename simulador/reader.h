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
    explicit PortReader(published::Area &area);

    // The writes published since the last call, oldest first. The first call
    // starts from the present. Writes overwritten before they could be read
    // are counted in lost().
    std::vector<published::Write> take();
    unsigned long long lost() const { return lost_; }

    // The newest write, its value and time read as one (all 0 when nothing was ever written).
    published::Write last() const;

    // The programs that have the port open now.
    std::vector<Program> programs() const;

private:
    published::Area &area_;
    unsigned long long next_ = 0;
    bool started_ = false;
    unsigned long long lost_ = 0;
};

}  // namespace simulador
