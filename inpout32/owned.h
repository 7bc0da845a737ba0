// Owners of what the system lends the library and the viewer: a descriptor
// and a mapping. Each lets go of what it holds when it goes, and only in the
// process that made it: a forked child that ends must not close or unmap
// what its parent goes on using (the kernel drops the child's copies anyway).
#pragma once

#include "mapped.h"

#include <cstddef>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace owned {

class Fd {
public:
    Fd() = default;
    // `closer` stands in for close(2) where tests replace the kernel.
    explicit Fd(int fd, int (*closer)(int) = ::close) : fd_(fd), closer_(closer), maker_(getpid()) {}
    Fd(Fd &&other) noexcept { *this = std::move(other); }
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
            closer_ = other.closer_;
            maker_ = other.maker_;
        }
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Held, and by the process that made it: its owner's to change and close.
    bool ownedHere() const { return fd_ >= 0 && maker_ == getpid(); }

    // Closes it now: close's result (0 when there was nothing to close, or
    // in another process), with errno set when it failed.
    int reset()
    {
        if (fd_ < 0)
            return 0;
        const int fd = std::exchange(fd_, -1);
        return maker_ == getpid() ? closer_(fd) : 0;
    }

    // In a forked child, closes the child's own copy, which the kernel gave
    // it and which its maker's process still holds open.
    void closeCopy()
    {
        if (fd_ >= 0)
            closer_(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
    int (*closer_)(int) = ::close;
    pid_t maker_ = 0;
};

// A shared mapping of a file. A watched one is kept from ever killing the
// process when its file is cut short (see mapped.h).
class Mapping {
public:
    Mapping() = default;
    // Maps `length` bytes of `fd` from `offset`; empty (errno set) on failure.
    static Mapping map(std::size_t length, int prot, int flags, int fd, off_t offset, bool watched)
    {
        Mapping mapping;
        void *start = mmap(nullptr, length, prot, flags, fd, offset);
        if (start == MAP_FAILED)
            return mapping;
        mapping.start_ = start;
        mapping.length_ = length;
        mapping.watched_ = watched;
        mapping.maker_ = getpid();
        if (watched)
            mapped::watch(start, length);
        return mapping;
    }
    Mapping(Mapping &&other) noexcept { *this = std::move(other); }
    Mapping &operator=(Mapping &&other) noexcept
    {
        if (this != &other) {
            reset();
            start_ = std::exchange(other.start_, nullptr);
            length_ = other.length_;
            watched_ = other.watched_;
            maker_ = other.maker_;
        }
        return *this;
    }
    ~Mapping() { reset(); }

    void *get() const { return start_; }
    std::size_t size() const { return length_; }
    explicit operator bool() const { return start_ != nullptr; }
    // Whether its file was cut short under it (watched mappings only).
    bool lost() const { return start_ && watched_ && mapped::lost(start_); }

    void reset()
    {
        if (!start_)
            return;
        void *start = std::exchange(start_, nullptr);
        if (watched_)
            mapped::unwatch(start);
        if (maker_ == getpid())
            munmap(start, length_);
    }

private:
    void *start_ = nullptr;
    std::size_t length_ = 0;
    bool watched_ = false;
    pid_t maker_ = 0;
};

}  // namespace owned
