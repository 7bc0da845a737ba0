#include "mapped.h"
#include "ending.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <linux/falloc.h>
#include <pthread.h>
#include <unistd.h>
#include <sys/mman.h>

namespace mapped {

namespace {

// The library watches its trace window and its area; the viewer one area.
constexpr int kWatched = 8;

struct Watched {
    std::atomic<std::uintptr_t> start{0};
    std::atomic<std::size_t> length{0};
    std::atomic<bool> lost{false};
};

Watched watched[kWatched];
std::atomic<unsigned> lossCount{0};
struct sigaction previous;
// Whether this thread is inside the handler that was there before ours: a
// host's handler installed after ours that hands a fault back to "the
// previous one" (ours again) comes back with it set, and would otherwise go
// round for ever. Counted, not read off the stack, where a sanitizer may
// move a local. Initial-exec, so that a thread's first fault never makes the
// first use of a thread-local of a library loaded with dlopen, which may
// allocate. A handler that jumps out of the fault leaves it set: a later
// fault of that thread not ours ends the program as with no handler.
thread_local unsigned passingOn __attribute__((tls_model("initial-exec"))) = 0;

int (*fallocateCall)(int, int, off_t, off_t) = ::fallocate;

// Only async-signal-safe work: the table is read with atomic loads, and mmap
// is one system call.
void onBusError(int signal, siginfo_t *info, void *context)
{
    const int saved = errno;
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Watched &mapping : watched) {
        const std::uintptr_t start = mapping.start.load(std::memory_order_acquire);
        const std::size_t length = mapping.length.load(std::memory_order_acquire);
        if (start == 0 || at < start || at - start >= length)
            continue;
        void *replaced = mmap(reinterpret_cast<void *>(start), length, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (replaced != MAP_FAILED) {
            mapping.lost.store(true, std::memory_order_release);
            lossCount.fetch_add(1, std::memory_order_release);
            errno = saved;
            return;  // the access is made again, now on memory that can't fault
        }
    }
    // Not ours: what would have happened without us.
    const bool handled = previous.sa_flags & SA_SIGINFO
                             ? previous.sa_sigaction != nullptr
                             : previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN;
    if (!handled || passingOn != 0) {
        raiseWithDefault(SIGBUS);  // at once, as the fault would have without us
        return;
    }
    ++passingOn;
    if (previous.sa_flags & SA_SIGINFO)
        previous.sa_sigaction(signal, info, context);
    else
        previous.sa_handler(signal);
    --passingOn;
    errno = saved;
}

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

// A host that unloads the library must not be left with a handler in code
// that is gone: what was there before ours comes back.
__attribute__((destructor)) void restoreHandler()
{
    struct sigaction current;
    if (sigaction(SIGBUS, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
        current.sa_sigaction == onBusError)
        sigaction(SIGBUS, &previous, nullptr);
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

bool faultsCanBeCaught()
{
    sigset_t mask;
    return pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && !sigismember(&mask, SIGBUS);
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

void watch(void *start, std::size_t length)
{
    // Ours goes in front of whatever handles SIGBUS now, unless it is there.
    struct sigaction current;
    if (sigaction(SIGBUS, nullptr, &current) == 0 &&
        !((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == onBusError)) {
        struct sigaction ours = {};
        ours.sa_sigaction = onBusError;
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        previous = current;
        sigaction(SIGBUS, &ours, nullptr);
    }
    for (Watched &mapping : watched) {
        if (mapping.start.load(std::memory_order_relaxed) != 0)
            continue;
        mapping.lost.store(false, std::memory_order_relaxed);
        mapping.length.store(length, std::memory_order_relaxed);
        mapping.start.store(reinterpret_cast<std::uintptr_t>(start), std::memory_order_release);
        return;
    }
}

void unwatch(const void *start)
{
    for (Watched &mapping : watched)
        if (mapping.start.load(std::memory_order_relaxed) == reinterpret_cast<std::uintptr_t>(start))
            mapping.start.store(0, std::memory_order_release);
}

bool lost(const void *start)
{
    for (const Watched &mapping : watched)
        if (mapping.start.load(std::memory_order_acquire) == reinterpret_cast<std::uintptr_t>(start))
            return mapping.lost.load(std::memory_order_acquire);
    return false;
}

unsigned losses() { return lossCount.load(std::memory_order_acquire); }

}  // namespace mapped
