// Files shared through memory mappings, kept from ever killing the process.
//
// A store into a mapped file faults with SIGBUS when the page has no place in
// the file: when another program cut the file short (`: > trace`, logrotate's
// copytruncate, `truncate -s 0` on the area), or when a full disk or
// shared-memory space could not give a page of a sparse file. The motor must
// not stop for either: space is reserved before a file is mapped (space.h),
// and a mapping that loses its file anyway reads and writes zeroed memory of
// its own from then on, and is marked lost for its owner to see and report.
//
// A thread that stores into such a mapping must leave SIGBUS unblocked: the
// kernel kills a process whose fault signal is blocked, whatever its handler.
#pragma once

// The space a mapping needs, reserved before it is made; the viewer takes
// its FileSizeGuard from here.
#include "space.h"

#include <cstddef>

namespace mapped {

// Whether this thread could store into a watched mapping and live through
// its file being cut short: SIGBUS not blocked here.
bool faultsCanBeCaught();

// Watches the mapping [start, start + length) of this process until unwatch():
// a fault inside it replaces the whole mapping with zeroed private memory and
// marks it lost, and the faulting access goes on. A fault anywhere else goes
// to the handler that was there before, with the arguments it would have had;
// with none, the process ends by SIGBUS at once, as it would have without
// the library. Up to eight mappings at a time (the library has two, the
// viewer one); any more go unwatched.
void watch(void *start, std::size_t length);
void unwatch(const void *start);

// Whether the mapping that starts at `start` has lost its file.
bool lost(const void *start);
// How many mappings ever lost their files: a cheap check per write, before
// asking which.
unsigned losses();

}  // namespace mapped
