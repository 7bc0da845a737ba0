// The port's writes from a file recorded at the bench or sent by someone
// else: the library's text trace (a line "<t ns> <address> <value>" a write),
// or a value change dump with the wires named as the library names them
// (D0_pulso, D1_direccion): the library's own, the viewer's capture, or any
// other tool's. The file is read as a stream, a megabyte at a time, into a
// packed log, so that a trace of gigabytes needs a fraction of its size. No Qt.
#pragma once

#include "writelog.h"

#include <functional>
#include <string>
#include <string_view>

namespace traffic {

// Told how far a long piece of work has gone, from 0 to 1.
using Progress = std::function<void(double)>;

// Reads `path` into `writes`, oldest first, telling `progress` how much of the
// file has been read. Returns "" or the message for the person, naming the
// file and what is wrong with it (missing, a folder, not a trace at all, times
// going backwards).
std::string readTraffic(const std::string &path, WriteLog &writes, const Progress &progress = {});

// The same from a file's bytes; `name` is what the messages call it.
std::string parseTraffic(const std::string &name, std::string_view bytes, WriteLog &writes);

}  // namespace traffic
