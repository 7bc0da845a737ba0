// The signals that end a program from outside (kill, Ctrl+C, the terminal
// closed: SIGTERM, SIGINT, SIGHUP, SIGQUIT) must not leave the step line
// high. Their handlers only note the signal: the program ends by it at its
// next port write (motor::ParallelPort), or at once when its event loop is
// idle (it watches endingSignalFd()), having first written 0.
#pragma once

namespace motor {

void catchEndingSignals();  // for each of them that is not ignored
int endingSignal();         // the signal that came, or 0
int endingSignalFd();       // readable once one came

}  // namespace motor
