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
// A reader of a running trace takes the text up to its first zero byte, and of
// that only the whole lines, up to the last newline.
#pragma once

#include "vcd.h"

#include <string>
#include <sys/types.h>

namespace inpout {

class Trace {
public:
    // Returns "" or the message for the user. Appends to what the file holds.
    std::string open(const char *path);
    std::string write(unsigned long long time, unsigned short address, short value);
    std::string close();  // "" or the message
    bool isOpen() const { return fd_ >= 0; }
    // False once no later line can be written: the file could not grow, or
    // was cut short under the program.
    bool usable() const { return window_ != nullptr; }

private:
    std::string map(off_t at);
    void unmap();
    std::string append(const char *text, long length);  // ends in a newline
    std::string failure(const char *what, int err) const;
    std::string cutShort();  // the file was cut short under the trace: its message, and the file let be

    int fd_ = -1;
    std::string name_;
    char *window_ = nullptr;
    off_t windowStart_ = 0;
    off_t end_ = 0;       // where the next line goes
    off_t from_ = 0;      // where this run's text begins: what comes before is not ours
    off_t mark_ = -1;     // where the mark at the end of the reserve is, if there is one
    unsigned losses_ = 0; // mappings lost in this process when the window was mapped
    bool owned_ = false;  // the file is this trace's own: locked, and its end known
    bool vcd_ = false;    // a value change dump instead of text lines
    vcd::Lines lines_;
    unsigned long long first_ = 0;  // the first write's time, the dump's 0
};

}  // namespace inpout
