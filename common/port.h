// The port and the delay, as the programs' actions see them, and the port
// writer that binds the port library.
#pragma once

#include "delay.h"

namespace motor {

class Port {
public:
    virtual ~Port() = default;
    // One write of `value` to the I/O port at `address`.
    virtual void write(short address, short value) = 0;
    // One busy delay of bound + 1 counting passes; returns the passes made.
    virtual long delay(long bound) = 0;
};

// The real thing: Out32 of the port library, bound by name at the first write,
// and the counting loop. Throws FatalError when the library or the port fails,
// after a last write of 0 when the failing write was of another value. Before
// each write it ends the program by a signal noted since (endingsignals.h).
class ParallelPort final : public Port {
public:
    void write(short address, short value) override;
    long delay(long bound) override { return countPasses(bound); }

    // Writes 0 (when anything was written), lets the library close the port
    // and its trace, and ends the program by `signal`, as the signal would
    // have ended it: the exit status says so.
    [[noreturn]] void endBySignal(int signal);

private:
    void bind();
    void *library_ = nullptr;
    void (*out32_)(short, short) = nullptr;
    const char *(*error_)() = nullptr;
};

}  // namespace motor
