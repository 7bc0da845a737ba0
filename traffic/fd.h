// The owner of a descriptor: it closes it when it goes, and only in the
// process that opened it, since a forked child that ends must not close what
// its parent goes on using (the kernel drops the child's copy anyway). Every
// descriptor the library, the programs and the viewer open has one.
#pragma once

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

}  // namespace owned
