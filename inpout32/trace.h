// The trace: one line "<t> <address> <value>" per write, t in nanoseconds of
// CLOCK_MONOTONIC, or a value change dump of the same writes (dump.h).
//
// Lines are stored straight into a shared mapping of the file, so each one is
// in the kernel's page cache before Out32 returns (a killed program loses
// none) without a system call per write. Space is reserved a window at a time.
// While the program runs, and after it is killed, the file ends in the unused
// zero bytes of its window and then a mark (mark.h); they are taken out at a
// normal exit and, from the mark, when the trace is next opened, even where
// someone appended to the file since. Whatever else a file holds is left as
// it is.
//
// The file is the trace's only as long as no other program changes it. Before
// each line the trace checks, with no system call, that the bytes the line
// will take are still its own (zero, its mark still where it left it), and
// tests the flag of its watch (filewatch.h), which hears of changes that leave
// those bytes alone (a note appended, the file removed); at a new window and
// at its end it looks at the file itself. What it finds decides the case
// (change.h): at the first change the trace stops and says so, and from then
// on leaves the file as the other program made it. Only a note appended after
// its reserve and mark is worked on: the reserve and mark are taken out from
// under it, so the note reads on from the trace's lines.
//
// A reader of a running trace takes the text up to its first zero byte, and of
// that only the whole lines, up to the last newline.
#pragma once

#include "change.h"
#include "dump.h"
#include "filewatch.h"
#include "owned.h"
#include "published.h"

#include <optional>
#include <string>
#include <vector>

namespace inpout {

class Trace {
public:
    Trace() = default;
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;
    ~Trace();

    // Opens `path`, appending to what the file holds. Returns "" or the
    // message for the user. A file the trace must not write (one of `notThese`,
    // the port's published area or lock, a file of another area) is refused
    // without being touched: refused() then tells it from a failure.
    std::string open(const char *path, const std::vector<published::FileIdentity> &notThese = {});
    bool refused() const { return refused_; }

    // "" or the message for a line that could not be stored.
    std::string write(unsigned long long time, unsigned short address, short value);
    std::string close();  // "" or the message
    // Lines are being stored: false before open, and once the trace stopped.
    bool isOpen() const { return static_cast<bool>(window_); }

    // A forked child must not write into its parent's trace: it lets go of
    // it without touching the file (the parent's to close).
    void leaveToParent();

private:
    std::string map(off_t at);
    std::string append(const char *text, long length);  // ends in a newline
    std::string failure(const char *what, int err) const;
    bool stillItsOwn(long length) const;  // the next line's bytes and the mark, in memory
    // The one look at what another program did: what it finds, the case it
    // is, and what the trace does (`storeFaulted`: a store just faulted).
    std::string look(bool storeFaulted);
    Found find(bool storeFaulted) const;
    std::string act(Change change, const Found &found);
    void stop(bool keepFile);  // no more lines; keepFile: never touch the file again

    owned::Fd fd_;
    owned::Mapping window_;
    FileWatch watch_;
    std::string name_;
    Left left_;
    unsigned losses_ = 0;  // mappings lost in this process when the window was last looked at
    bool refused_ = false;
    std::optional<Dump> dump_;  // a dump's writer, or none for text lines
};

}  // namespace inpout
