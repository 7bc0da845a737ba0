// What the programs say to --help, -h and --version: before any window is
// made, so it works with no display, and without touching the port.
#pragma once

#include <string>

// The text for "vueltas", "rotacion" or "simulador"; `details`, the program's
// own (the viewer's motors, say), after its usage.
std::string helpText(const std::string &program, const std::string &details = {});
std::string versionText(const std::string &program);

// When the arguments ask for help or the version, prints it on standard
// output and returns the status to end with; otherwise returns -1 (every other
// argument is left to the program, which ignores it).
int answerCommandLine(int argc, char **argv, const char *program, const std::string &details = {});
