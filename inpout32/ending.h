// Ending the process by a signal as it would have ended had nobody handled
// it: a handler that has done what it must (the port left idle, a fault not
// its own passed on) gives the signal back to its default action.
#pragma once

#include <csignal>
#include <pthread.h>

inline void raiseWithDefault(int signal)
{
    struct sigaction usual = {};
    usual.sa_handler = SIG_DFL;
    sigemptyset(&usual.sa_mask);
    sigaction(signal, &usual, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
}
