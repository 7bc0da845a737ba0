// The port and the delay, as the programs' actions see them.
#pragma once

namespace motor {

// Counts a variable from 0 to `bound` inclusive, doing nothing else, and
// returns the number of passes made (bound + 1, or 0 for a negative bound).
// The counter is volatile: the delay must really run.
long countPasses(long bound);

class Port {
public:
    virtual ~Port() = default;
    // One write of `value` to the I/O port at `address`.
    virtual void write(short address, short value) = 0;
    // One busy delay of bound + 1 counting passes; returns the passes made.
    virtual long delay(long bound) = 0;
};

// The signals that end a program from outside (kill, Ctrl+C, the terminal
// closed: SIGTERM, SIGINT, SIGHUP, SIGQUIT) must not leave the step line
// high. Their handlers only note the signal: the program ends by it at its
// next port write, or at once when its event loop is idle (it watches
// endingSignalFd()), having first written 0.
void catchEndingSignals();  // for each of them that is not ignored
int endingSignal();         // the signal that came, or 0
int endingSignalFd();       // readable once one came

// The real thing: Out32 of the port library, bound by name at the first write,
// and the counting loop. Throws FatalError when the library or the port fails,
// after a last write of 0 when the failing write was of another value.
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
