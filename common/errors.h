// The two kinds of failure the programs report.
#pragma once

#include <stdexcept>
#include <string>

// The program can't go on (the port library is missing or the port can't be
// opened): reported, then the program ends with a non-zero status.
struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A slip of the person at the keyboard: reported, and the program goes on.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
