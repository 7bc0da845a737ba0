#include "space.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/falloc.h>
#include <pthread.h>
#include <unistd.h>

namespace mapped {

namespace {

int (*fallocateCall)(int, int, off_t, off_t) = ::fallocate;

// Writes a zero byte into every block of [from, from + length) that holds
// none yet, last block first, for file systems without fallocate: the file
// grows at once to its full length, and then its holes are filled.
int fillBlocks(int fd, off_t from, off_t length)
{
    constexpr off_t kBlock = 4096;
    for (off_t at = from + length - 1; at >= from; at = (at / kBlock) * kBlock - 1) {
        char byte = 1;
        const ssize_t n = pread(fd, &byte, 1, at);
        if (n < 0)
            return errno;
        if (n == 1 && byte != 0)
            continue;  // data of the file's own: the block is there
        errno = 0;
        if (pwrite(fd, "", 1, at) != 1)
            return errno ? errno : EIO;
        if (at == from)
            break;
    }
    // A network file system may only find out at write-back that the disk is full.
    return fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
}

}  // namespace

FileSizeGuard::FileSizeGuard()
{
    sigset_t limit;
    sigemptyset(&limit);
    sigaddset(&limit, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &limit, &before_);
}

FileSizeGuard::~FileSizeGuard()
{
    sigset_t limit;
    sigemptyset(&limit);
    sigaddset(&limit, SIGXFSZ);
    const timespec now = {0, 0};
    if (!sigismember(&before_, SIGXFSZ))
        while (sigtimedwait(&limit, nullptr, &now) == SIGXFSZ) {
        }
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

void useFallocate(int (*call)(int, int, off_t, off_t)) { fallocateCall = call ? call : ::fallocate; }

int reserve(int fd, off_t from, off_t length, const char *tail, off_t tailLength)
{
    const FileSizeGuard guard;
    const bool supported = fallocateCall(fd, tail ? FALLOC_FL_KEEP_SIZE : 0, from, length) == 0;
    if (!supported && errno != EOPNOTSUPP && errno != ENOSYS)
        return errno;
    errno = 0;
    if (tail && pwrite(fd, tail, size_t(tailLength), from + length - tailLength) != tailLength)
        return errno ? errno : EIO;  // a short write sets none
    return supported ? 0 : fillBlocks(fd, from, length - (tail ? tailLength : 0));
}

}  // namespace mapped
