// The trace: one line "<t> <address> <value>" per write, t in nanoseconds of
// CLOCK_MONOTONIC.
//
// Lines are stored straight into a shared mapping of the file, so each one is
// in the kernel's page cache before Out32 returns (a killed program loses
// none) without a system call per write. Space is reserved a window at a time;
// while the program runs, and after it is killed, the file ends in the unused
// zero bytes of its window: they are cut off at a normal exit and when the
// trace is next opened.
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
    // False once its file could not be grown: no later line can be written.
    bool usable() const { return window_ != nullptr; }

private:
    std::string map(off_t at);
    std::string append(const char *text, long length);  // ends in a newline
    std::string failure(const char *what, int err) const;

    int fd_ = -1;
    std::string name_;
    char *window_ = nullptr;
    off_t windowStart_ = 0;
    off_t end_ = 0;       // where the next line goes
    bool owned_ = false;  // the file is this trace's own: locked, and its end known
    bool vcd_ = false;    // a value change dump instead of text lines
    vcd::Lines lines_;
    unsigned long long first_ = 0;  // the first write's time, the dump's 0
};

}  // namespace inpout
