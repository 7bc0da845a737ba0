// The real kernel behind the backends, and the switch that lets tests replace it.
#include "backend.h"
#include "clock.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
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
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    const int saved = errno;
    ::close(fd);
    if (n < 0) {
        errno = saved;
        return false;
    }
    text.assign(buffer, static_cast<size_t>(n));
    return true;
}

bool realExists(const char *path) { return ::access(path, F_OK) == 0; }

const SystemCalls kReal = {realOpen, realClose, realIoctl, realIoperm, realOutb, realReadText, realExists, monotonicNow};
const SystemCalls *current = &kReal;

}  // namespace

const SystemCalls &sys() { return *current; }
void useSystemCalls(const SystemCalls *calls) { current = calls ? calls : &kReal; }

}  // namespace inpout
