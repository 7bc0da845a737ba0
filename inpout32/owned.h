// Owners of what the system lends the library and the viewer: a descriptor
// (fd.h) and a mapping. Each lets go of what it holds when it goes, and only
// in the process that made it: a forked child that ends must not close or
// unmap what its parent goes on using (the kernel drops the child's copies
// anyway).
#pragma once

#include "fd.h"
#include "mapped.h"

#include <cstddef>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace owned {

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
