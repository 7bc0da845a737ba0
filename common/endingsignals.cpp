#include "endingsignals.h"
#include "owned.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace motor {

namespace {

volatile sig_atomic_t ending = 0;
int wakeRead = -1, wakeWrite = -1;  // a pipe: owned below, for the program's whole life

void noteEnding(int signal)
{
    const int saved = errno;
    ending = signal;
    const char byte = 0;
    (void)!::write(wakeWrite, &byte, 1);
    errno = saved;
}

}  // namespace

void catchEndingSignals()
{
    static owned::Fd ends[2];
    if (!ends[0]) {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) < 0)
            return;  // then the program ends by these signals as it would have
        ends[0] = owned::Fd(fds[0]);
        ends[1] = owned::Fd(fds[1]);
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        struct sigaction current;
        if (sigaction(signal, nullptr, &current) < 0 || current.sa_handler == SIG_IGN)
            continue;  // ignored by whoever started the program (nohup, a background job): left so
        struct sigaction note = {};
        note.sa_handler = noteEnding;
        note.sa_flags = SA_RESTART;
        sigemptyset(&note.sa_mask);
        sigaction(signal, &note, nullptr);
    }
}

int endingSignal() { return ending; }
int endingSignalFd() { return wakeRead; }

}  // namespace motor
