// Space for files shared through memory mappings, given before they are
// mapped: a store into a page a full disk or shared-memory space could not
// give faults with SIGBUS, so the space is asked for first, where a full
// disk is an error to report. And writing past a file-size limit, which would
// send SIGXFSZ and end the program, is an error (EFBIG) here instead.
#pragma once

#include <csignal>
#include <sys/types.h>

namespace mapped {

// Reserves [from, from + length) of the file on disk, so that stores into a
// mapping of it can't fault for want of space. A file-size limit is an error
// here (EFBIG), not a SIGXFSZ that would end the program. Returns 0 or the
// errno. With a `tail`, the file grows only as that text is written at the
// end of the range, so that it is never seen longer without it. Where the
// file system has no fallocate, a byte is written into every block of the
// range (the tail first), and the data synced, so that a full disk is an
// error here rather than a lost page later.
int reserve(int fd, off_t from, off_t length, const char *tail = nullptr, off_t tailLength = 0);

// Tests only: stands in for fallocate(2) (nullptr gives the real one back).
void useFallocate(int (*call)(int fd, int mode, off_t from, off_t length));

// Holds SIGXFSZ back in this thread for as long as it lives, so that writing
// past a file-size limit fails with EFBIG instead of ending the program; a
// signal that came meanwhile is taken, unheard, when it goes.
class FileSizeGuard {
public:
    FileSizeGuard();
    ~FileSizeGuard();
    FileSizeGuard(const FileSizeGuard &) = delete;
    FileSizeGuard &operator=(const FileSizeGuard &) = delete;

private:
    sigset_t before_;  // the thread's mask as it was
};

}  // namespace mapped
