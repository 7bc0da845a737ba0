// Inside the port library: the backends and the system calls they make.
#pragma once

#include "owned.h"

#include <string>
#include <vector>

namespace inpout {

// Every system call that touches hardware or the device files, and the one
// that watches the trace, gathered in one table so that tests can stand in for
// the kernel.
struct SystemCalls {
    int (*open)(const char *path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void *arg);
    int (*ioperm)(unsigned long from, unsigned long count, int on);
    void (*outb)(unsigned char value, unsigned short port);
    // Reads a small text file whole; false (with errno set) when it can't.
    bool (*readText)(const char *path, std::string &text);
    // Whether a file or folder is there: what the kernel shows of its ports.
    bool (*exists)(const char *path);
    // The kernel's subsystem of the character device open as `fd` ("gpio"
    // for a GPIO chip, "ppdev"...), from /sys/dev/char/MAJOR:MINOR; "" when it
    // is no character device.
    std::string (*subsystem)(int fd);
    // CLOCK_MONOTONIC in ns: the times of the trace and the slowed-down gaps.
    unsigned long long (*now)();
    // inotify_init1(2), the trace's watch: it fails at the user's or the
    // process's limits.
    int (*inotifyInit)(int flags);
};

const SystemCalls &sys();
// Tests only: replace the kernel (nullptr gives the real one back).
void useSystemCalls(const SystemCalls *calls);
// A descriptor the backends opened through sys(), closed through it.
inline owned::Fd deviceFd(int fd) { return owned::Fd(fd, sys().close); }

// The parallel ports the kernel found (/proc/sys/dev/parport/parportN), with
// their base addresses (0 where it does not say). Read in this one place.
struct KernelPort {
    int number;
    unsigned long base;
};
std::vector<KernelPort> kernelPorts();

// What an open backend keeps about its port.
struct PortState {
    std::string device;        // what the messages name: "/dev/parport0", "E/S directa 0x378"
    owned::Fd fd;              // the device, or the simulated port's lock
    unsigned short base = 0;   // the address the port was opened for
    unsigned char last = 0;    // the last value written (what the data lines hold)
    std::string lock;          // the simulated port's lock file
};

// One table per backend. Each call returns "" on success, or the message for
// the user.
struct Backend {
    const char *name;
    std::string (*open)(PortState &port, const std::string &device, unsigned short address);
    std::string (*write)(PortState &port, unsigned short address, unsigned char value);
    std::string (*close)(PortState &port);
};

extern const Backend ppdevBackend;
extern const Backend directBackend;
extern const Backend simBackend;
extern const Backend gpioBackend;

// The one place where the PARPORT setting picks a backend. Returns "" and
// sets `backend` and `device` (for ppdev a named device or "", for the
// simulated port its lock file, for GPIO the chip and lines), or the message.
std::string chooseBackend(const char *setting, const Backend *&backend, std::string &device);

// Messages: the system's reason for errno, and the line for a failed call.
std::string reason(int err);
std::string openFailure(const std::string &device, int err);
std::string ioctlFailure(const std::string &what, const std::string &device, int err);
// The port is taken by another program; `holder` names it when known.
std::string busy(const std::string &device, const std::string &holder, int err);
// Says on standard error what a person should know but need not stop for
// (an extra that could not be had, or had to stop), after the program's name.
void warn(const std::string &message);

}  // namespace inpout

namespace inpout {
// Closes the port and forgets it: the next write opens it again. Runs at exit.
void reset();
// The open port, or nullptr before the first write and after a failure.
const PortState *openPort();
}  // namespace inpout
