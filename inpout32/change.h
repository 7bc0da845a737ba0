// What another program did to the trace's file, told from what the trace left
// there and what it finds: one pure function, so that the case is decided in
// one place and the same way whenever the trace looks (before a line, at a new
// window, at its end), and never depends on when it looked.
#pragma once

#include "mark.h"

#include <sys/types.h>

namespace inpout {

// What the trace left in its file: where its text and its reserve are, and
// what it wrote where it can tell its own bytes from another's.
struct Left {
    off_t from = 0;        // where this run's text begins: what comes before is not the trace's
    off_t end = 0;         // where its text ends, and the next line goes
    off_t size = 0;        // the file's size, its reserve and mark included
    off_t window = -1;     // where its window begins; -1: no reserve of its own in the file (none yet, or it stopped)
    char mark[64] = {};    // the mark that ends its window (a dump's: zero bytes)
    char head[32] = {};    // the run's first bytes, as written

    // Where its window, its reserve and mark, ends; where its unused zero bytes end, and its mark begins.
    off_t markEnd() const { return window + mark::kWindow; }
    off_t reserveEnd() const { return markEnd() - mark::kLength; }
};

// What the trace finds when it looks.
struct Found {
    bool removed = false;         // no name links to the file any more
    off_t size = 0;
    bool startsAsItsOwn = false;  // the run's first bytes are where and as the trace wrote them
    bool reserveIntact = false;   // its unused zero bytes and its mark are as it left them
    bool mappingLost = false;     // its window lost the file (a look into it, or a store, faulted)
    bool linesLost = false;       // a line of its own is known not to have reached the file
};

enum class Change {
    None,         // nothing of the trace's changed (its metadata or bytes before its end may have)
    Removed,      // no longer under any name: deleted, or another file saved in its place
    Emptied,      // nothing left (`: > trace`, logrotate's copytruncate)
    CutInside,    // cut inside the trace's own lines, none of them lost on its way in
    CutLosing,    // cut inside them, and a line stored since never reached the file
    Appended,     // someone else's text after its reserve and mark (`echo note >> trace`)
    WrittenOver,  // anything else: other text where the trace's was, or in its reserve
};

Change classify(const Left &left, const Found &found);

}  // namespace inpout
