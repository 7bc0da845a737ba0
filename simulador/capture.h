// A capture of the port's lines from what the published ring still holds,
// saved as a value change dump, the same form as the port library's trace,
// for logic-analyser tools (PulseView, sigrok-cli, GTKWave). No widgets.
#pragma once

#include "published.h"

#include <string>
#include <vector>

namespace simulador {

// A capture starts this long before its first write, with the lines as they
// stood then: a decoder counts an edge only from a state before it, so the
// first pulse of a move is counted as in the library's own dump.
constexpr unsigned long long kLead = 10000;  // ns

struct Capture {
    std::vector<published::Write> writes;  // oldest first
    bool lost = false;        // writes of the span had already left the ring
    bool known = false;       // whether the lines before the first write are known:
    published::Write before{};  // the write that set them
};

// The writes the ring holds from the monotonic time `from` on (0: all of it)
// up to `now`: an entry stamped later (a writer whose clock is ahead) is left out.
Capture capture(const published::Area &area, unsigned long long from, unsigned long long now);

// The capture as a value change dump: the lines as they stood kLead before
// its first write (when known), at time 0, then its writes. Its times never
// go back: two writers on one area interleave their entries out of order, and
// a write stamped before the one before it is taken at that one's time.
std::string dump(const Capture &capture, const char *date);

}  // namespace simulador
