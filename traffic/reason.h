// The system's reason for a failure (an errno), in Spanish whatever the
// machine's locale and its language packages: every message of the library,
// the programs and the viewer is Spanish, and a person should not meet
// «No such file or directory» in the middle of one. The errors a person can
// meet here are in a table; any other is its number and the system's own text.
#pragma once

#include <string>

namespace traffic {

std::string reason(int err);

}  // namespace traffic
