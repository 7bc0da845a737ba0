// A capture of the port's lines from what the published ring still holds,
// saved as a value change dump, the same form as the port library's trace,
// for logic-analyser tools (PulseView, sigrok-cli, GTKWave); where it may go,
// and its saving. No widgets.
#pragma once

#include "area.h"
#include "moves.h"
#include "published.h"

#include <QString>
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

// A file a capture could go to, or must not replace, as a stat tells it.
struct Target {
    enum Kind { Missing, Regular, Other } kind = Missing;
    FileId id;
    bool locked = false;  // a regular file whose lock a running program holds (targetAt() only)
};
Target fileAt(const std::string &path);
// The same, and whether a running program holds the file's lock: the port
// library's trace holds it for as long as the program writes there, whoever
// started it. (The look takes the lock, shared, for a moment: never taken at
// the port's own files, whose locks tell programs and viewers apart.)
Target targetAt(const std::string &path);

// What a capture must never replace: where the programs publish, the trace of
// this viewer's PARPORT_TRACE, and the port's and the viewers' locks (Missing:
// not known).
struct Kept {
    Target area, trace, portLock, viewerLock;
};
Kept keptFiles(const MappedArea &area, const char *trace);

// Why a capture of `writes` writes may not be saved to `target`, if it may not.
enum class Refusal { None, NothingCaptured, NotAFile, TheArea, TheTrace, ALock, Traced };
Refusal refusal(std::size_t writes, const Target &target, const Kept &kept);

// Whether it went, and what to tell the person (a failure also on standard error).
struct Saved {
    bool ok;
    QString message;
};
// Whether `taken` holds anything to save (asked before asking where).
Saved savable(const Capture &taken, const Asked &asked);
// Saves `taken` as a value change dump at `path`, replacing a file there only
// with a whole capture, and never one of `kept` nor a running program's trace.
Saved save(const QString &path, const Capture &taken, const Asked &asked, const Kept &kept);

}  // namespace simulador
