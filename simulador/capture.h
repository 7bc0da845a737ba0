// A capture of the port's lines from what the published ring still holds,
// saved as a value change dump, the same form as the port library's trace,
// for logic-analyser tools (PulseView, sigrok-cli, GTKWave). No widgets.
#pragma once

#include "published.h"

#include <string>
#include <vector>

namespace simulador {

struct Capture {
    std::vector<published::Write> writes;  // oldest first
    bool lost = false;  // writes of the span had already left the ring
};

// The writes the ring holds from the monotonic time `from` on (0: all of it)
// up to `now`: an entry stamped later (a writer whose clock is ahead) is left out.
Capture capture(const published::Area &area, unsigned long long from, unsigned long long now);

// The capture as a value change dump, its first write at time 0. Its times
// never go back: two writers on one area interleave their entries out of
// order, and a write stamped before the one before it is taken at that one's time.
std::string dump(const Capture &capture, const char *date);

}  // namespace simulador
