// The real kernel behind the backends, and the switch that lets tests replace it.
#include "backend.h"
#include "clock.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace inpout {
namespace {

int realOpen(const char *path, int flags) { return ::open(path, flags); }
int realClose(int fd) { return ::close(fd); }
int realIoctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }

#if defined(__x86_64__) || defined(__i386__)
int realIoperm(unsigned long from, unsigned long count, int on) { return ::ioperm(from, count, on); }
void realOutb(unsigned char value, unsigned short port) { ::outb(value, port); }
#else
int realIoperm(unsigned long, unsigned long, int) { errno = ENOSYS; return -1; }
void realOutb(unsigned char, unsigned short) {}
#endif

bool realReadText(const char *path, std::string &text)
{
    const owned::Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    char buffer[256];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0)
        return false;
    text.assign(buffer, static_cast<size_t>(n));
    return true;
}

bool realExists(const char *path) { return ::access(path, F_OK) == 0; }

std::string realSubsystem(int fd)
{
    struct stat status;
    if (fstat(fd, &status) < 0 || !S_ISCHR(status.st_mode))
        return {};
    const std::string link = "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                             std::to_string(minor(status.st_rdev)) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    const std::string path(target, size_t(n));
    return path.substr(path.rfind('/') + 1);
}

const SystemCalls kReal = {realOpen,     realClose,  realIoctl,     realIoperm,   realOutb,
                           realReadText, realExists, realSubsystem, monotonicNow, inotify_init1};
const SystemCalls *current = &kReal;

}  // namespace

const SystemCalls &sys() { return *current; }

std::vector<KernelPort> kernelPorts()
{
    std::vector<KernelPort> ports;
    for (int n = 0; n < 16; ++n) {
        const std::string folder = "/proc/sys/dev/parport/parport" + std::to_string(n);
        if (!sys().exists(folder.c_str()))
            continue;
        // "888\t1912\n": the base, then the upper base of ECP ports.
        std::string text;
        const unsigned long base = sys().readText((folder + "/base-addr").c_str(), text)
                                       ? std::strtoul(text.c_str(), nullptr, 10) : 0;
        ports.push_back({n, base});
    }
    return ports;
}
void useSystemCalls(const SystemCalls *calls) { current = calls ? calls : &kReal; }

}  // namespace inpout
