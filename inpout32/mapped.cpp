#include "mapped.h"

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
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
    } else {
        // The default action: raised now, and delivered (or the fault made
        // again) as soon as this handler returns.
        sigaction(SIGBUS, &previous, nullptr);
        raise(SIGBUS);
    }
    errno = saved;
}

}  // namespace

int reserve(int fd, off_t from, off_t length, const char *tail, off_t tailLength)
{
    // Past a file-size limit the kernel also sends SIGXFSZ, which would end
    // the program unheard: it is held back and taken, and the error speaks.
    sigset_t limit, before;
    sigemptyset(&limit);
    sigaddset(&limit, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &limit, &before);
    int err = 0;
    if (tail && fallocate(fd, FALLOC_FL_KEEP_SIZE, from, length) < 0)
        err = errno == EOPNOTSUPP ? posix_fallocate(fd, from, length) : errno;  // then not in one step
    else if (!tail)
        err = posix_fallocate(fd, from, length);
    errno = 0;
    if (!err && tail && pwrite(fd, tail, size_t(tailLength), from + length - tailLength) != tailLength)
        err = errno ? errno : EIO;  // a short write sets none
    const timespec now = {0, 0};
    while (sigtimedwait(&limit, nullptr, &now) == SIGXFSZ) {
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return err;
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
