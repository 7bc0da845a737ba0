// A process as the area knows it: a pid the system may since have given to
// another process is told apart by the time its process started.
#pragma once

#include <cstdint>

namespace process {

// Whether a process with that pid is there (this user's or another's).
bool alive(std::int32_t pid);

// When process `pid` started, in clock ticks since boot; 0 when it can't be
// read (no such process).
std::uint64_t startOf(std::int32_t pid);

// Whether the process that was `pid`, started at `start`, still runs.
inline bool stillRuns(std::int32_t pid, std::uint64_t start) { return alive(pid) && startOf(pid) == start; }

}  // namespace process
