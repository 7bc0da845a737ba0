// The trace: one line "<t> <address> <value>" per write, t in nanoseconds of
// CLOCK_MONOTONIC.
//
// Lines are stored straight into a shared mapping of the file, so each one is
// in the kernel's page cache before Out32 returns (a killed program loses
// none) without a system call per write. Space is reserved a window at a time.
// While the program runs, and after it is killed, the file ends in the unused
// zero bytes of its window and then a mark, a line of its own that says where
// the run began; they are cut off at a normal exit and, from the mark, when
// the trace is next opened. Whatever else a file holds is left as it is.
//
// The file is the trace's only as long as no other program changes it. The
// first change another program makes (a note appended, the file written over,
// cut short or removed) is noticed before the next line is stored: the trace
// stops there and says so, and from then on leaves the file as the other
// program made it. Only a note appended after its reserve and mark is worked
// on: the reserve and mark go where they are (whole blocks taken out where the
// file system can, the rest made blank lines), so the note reads on from the
// trace's lines; at the end it does the same for an append it had not yet
// heard of.
//
// A reader of a running trace takes the text up to its first zero byte, and of
// that only the whole lines, up to the last newline.
#pragma once

#include "filewatch.h"
#include "owned.h"
#include "published.h"
#include "vcd.h"

#include <string>
#include <sys/types.h>
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

    bool changeSeen() const { return watch_.changed(); }
    void holdWatch(bool held) { watch_.hold(held); }  // tests only

    // A forked child must not write into its parent's trace: it lets go of
    // it without touching the file (the parent's to close).
    void leaveToParent();

private:
    std::string map(off_t at);
    std::string append(const char *text, long length);  // ends in a newline
    std::string failure(const char *what, int err) const;
    // Another program changed the file (`lost`: a store of the trace's is
    // known not to have reached it): what to say; the trace stops unless
    // nothing of its own changed.
    std::string noticeChange(bool lost);
    std::string cutShort();      // lines were lost: the message
    void stop(bool keepFile);    // no more lines; keepFile: never touch the file again
    off_t reserveEnd() const;    // where the trace's unused zero bytes end
    off_t markEnd() const;       // and where its mark ends
    bool reserveIntact() const;  // its zero bytes and mark as it left them
    bool startsAsItsOwn(off_t size) const;  // the file of `size` bytes still starts this run's text as written
    bool storedPast(off_t size) const;      // a line was stored past a cut to `size`, into what the file lost
    void blankReserve();         // its reserve and mark made blank lines, for text appended after them
    std::string tidy();          // takes away its reserve and mark at the end

    owned::Fd fd_;
    owned::Mapping window_;
    FileWatch watch_;
    std::string name_;
    off_t windowStart_ = 0;
    off_t end_ = 0;       // where the next line goes
    off_t size_ = 0;      // the file's size as the trace left it
    off_t from_ = 0;      // where this run's text begins: what comes before is not ours
    off_t mark_ = -1;     // where the mark at the end of the reserve is, if there is one
    char markText_[64];   // what the mark says
    char head_[32] = {};  // the run's first text, as written
    unsigned losses_ = 0; // mappings lost in this process when the window was mapped
    bool owned_ = false;  // the trace may still take its reserve and mark away at the end
    pid_t opener_ = 0;    // the process that opened it, the only one to change the file
    bool refused_ = false;
    bool vcd_ = false;    // a value change dump instead of text lines
    vcd::Lines lines_;
    unsigned long long first_ = 0;  // the first write's time, the dump's 0
};

}  // namespace inpout
