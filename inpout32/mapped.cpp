#include "mapped.h"
#include "ending.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <pthread.h>
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

bool faultsCanBeCaught()
{
    sigset_t mask;
    return pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && !sigismember(&mask, SIGBUS);
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
