// The port's writes from a file recorded at the bench or sent by someone
// else: the library's text trace (lines "<t ns> <address> <value>"), or a
// value change dump with the lines named as the library names them
// (D0_pulso, D1_direccion): the library's own, the viewer's capture, or any
// other tool's. No Qt.
#pragma once

#include "write.h"

#include <string>
#include <vector>

namespace traffic {

// Reads `path` into `writes`, oldest first. Returns "" or the message for the
// person, naming the file and what is wrong with it (missing, a folder, not a
// trace at all, times going backwards).
std::string readTraffic(const std::string &path, std::vector<PortWrite> &writes);

// The same from the file's text, for a file already read; `name` is what
// the messages call it.
std::string parseTraffic(const std::string &name, const std::string &text, std::vector<PortWrite> &writes);

}  // namespace traffic
