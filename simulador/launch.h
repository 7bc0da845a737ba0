// One viewer per port, and the launcher that opens a program with its viewer
// (simulador --con PROGRAMA: the menu's "puerto simulado" actions, run.sh).
// A viewer holds a lock on the area's name with ".visor" added for as long as
// it runs, so a launcher opens a viewer only where none watches yet.
#pragma once

#include "owned.h"

#include <string>

namespace simulador {

// Called first in main, before Qt. An argument the viewer does not know
// (nor Qt, whose options such as -platform pass on) is a usage error: the
// usage on standard error, and status 2. Takes the viewer's lock when it is
// free, for the rest of this process's life. With "--con PROGRAMA" among the
// arguments, starts a viewer of its own (which outlives the program) when the
// lock was free, and turns this process into PROGRAMA: it returns only on a
// failure, with the status to end with, and then no viewer of its own is left
// running. Returns -1 when this process is to go on as the viewer.
int launch(int argc, char **argv);

// What a viewer that a launcher started shares with it: `started`, on which a
// byte comes when the program could not be started (the end closes by itself
// when it was), and `shown`, closed once the viewer's window is on the screen:
// the launcher starts the program only then. Neither is open in a viewer
// started by hand.
struct ViewerPipes {
    owned::Fd started, shown;
};
ViewerPipes &viewerPipes();

// What --help says of the viewer beyond its usage: the motors --motor knows,
// and what the exit status of --analizar means.
std::string details();

// The first argument that is no option of the viewer's nor of Qt's (an
// option that takes a value, without it, counts); nullptr when all are known.
const char *unknownArgument(int argc, char **argv);

}  // namespace simulador
