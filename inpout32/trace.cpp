#include "trace.h"
#include "backend.h"
#include "decimal.h"
#include "vcd.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace inpout {

namespace {

constexpr off_t kWindow = 1 << 20;

bool endsWithVcd(const std::string &path)
{
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".vcd") == 0;
}

}  // namespace

std::string Trace::failure(const char *what, int err) const
{
    return std::string("No se pudo ") + what + " el fichero de traza " + name_ + " (PARPORT_TRACE): " + reason(err) +
           ". Indique un fichero en una carpeta donde pueda escribir y con espacio libre, o quite PARPORT_TRACE.";
}

std::string Trace::open(const char *path)
{
    name_ = path;
    // The reason the file can't be used is the one to report; it is let go.
    const auto fail = [this](std::string message) {
        close();
        return message;
    };
    fd_ = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0)
        return failure("abrir", errno);
    // Two programs mapping one file would overwrite each other's lines.
    if (flock(fd_, LOCK_EX | LOCK_NB) < 0)
        return fail(errno == EWOULDBLOCK ? "El fichero de traza " + name_ +
                                               " (PARPORT_TRACE) ya lo está usando otro programa. "
                                               "Dé a cada programa su propio fichero de traza."
                                         : failure("reservar", errno));
    // A dump holds one run, from its header on.
    vcd_ = endsWithVcd(name_);
    if (vcd_) {
        if (ftruncate(fd_, 0) < 0)
            return fail(failure("vaciar", errno));
        owned_ = true;
        char date[64];
        const std::time_t now = std::time(nullptr);
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", std::localtime(&now));
        const std::string header = vcd::header(date, MOTOR_VERSION);
        std::string message = map(0);
        if (message.empty())
            message = append(header.data(), static_cast<long>(header.size()));
        return message.empty() ? message : fail(message);
    }
    // The lines end where the zero bytes left by a killed run begin.
    struct stat status;
    if (fstat(fd_, &status) < 0)
        return fail(failure("examinar", errno));
    end_ = status.st_size;
    char block[4096];
    while (end_ > 0) {
        const off_t from = end_ > off_t(sizeof block) ? end_ - off_t(sizeof block) : 0;
        const ssize_t n = pread(fd_, block, static_cast<size_t>(end_ - from), from);
        if (n <= 0)
            break;
        off_t i = n;
        while (i > 0 && block[i - 1] == '\0')
            --i;
        end_ = from + i;
        if (i > 0)
            break;
    }
    // A run killed between a line and its newline leaves that line unfinished:
    // the next line starts where it began. Text of any other shape is not
    // a trace's, and stays.
    const off_t from = end_ > 64 ? end_ - 64 : 0;
    const ssize_t n = end_ > 0 ? pread(fd_, block, static_cast<size_t>(end_ - from), from) : 0;
    ssize_t start = n;
    while (start > 0 && std::strchr("0123456789 -", block[start - 1]) && block[start - 1] != '\0')
        --start;
    const bool unfinished = start < n && ((start > 0 && block[start - 1] == '\n') || (start == 0 && from == 0));
    if (unfinished)
        end_ = from + start;
    owned_ = true;
    std::string message = map(end_);
    // Lines of our own start on a line of their own.
    if (message.empty() && !unfinished && n > 0 && block[n - 1] != '\n')
        message = append("\n", 1);
    return message.empty() ? message : fail(message);
}

// Maps the window of the file that holds offset `at`, with its space reserved
// on disk (so a full disk is an error here, not a crash at a later write).
std::string Trace::map(off_t at)
{
    if (window_)
        munmap(window_, kWindow);
    window_ = nullptr;
    windowStart_ = at & ~(off_t(sysconf(_SC_PAGESIZE)) - 1);
    // Past a file-size limit the kernel also sends SIGXFSZ, which would end
    // the program unheard: it is held back and taken, and the error speaks.
    sigset_t limit, before;
    sigemptyset(&limit);
    sigaddset(&limit, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &limit, &before);
    const int err = posix_fallocate(fd_, windowStart_, kWindow);
    const timespec now = {0, 0};
    while (sigtimedwait(&limit, nullptr, &now) == SIGXFSZ) {
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (err != 0)
        return failure("ampliar", err);
    void *window = mmap(nullptr, kWindow, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, windowStart_);
    if (window == MAP_FAILED)
        return failure("proyectar en memoria", errno);
    window_ = static_cast<char *>(window);
    return {};
}

std::string Trace::write(unsigned long long time, unsigned short address, short value)
{
    char buffer[64];
    if (vcd_) {
        if (lines_.value < 0)
            first_ = time;
        const long length = static_cast<long>(vcd::write(buffer, lines_, time - first_, value));
        return length ? append(buffer, length) : std::string();
    }
    // "<t> <address> <value>\n", built from its end.
    char *const end = buffer + sizeof buffer;
    char *line = end;
    *--line = '\n';
    line = decimal(line, static_cast<unsigned long long>(value < 0 ? -value : value));
    if (value < 0)
        *--line = '-';
    *--line = ' ';
    line = decimal(line, address);
    *--line = ' ';
    line = decimal(line, time);
    return append(line, end - line);
}

std::string Trace::append(const char *text, long length)
{
    if (!window_ || end_ + length > windowStart_ + kWindow) {
        const std::string message = map(end_);
        if (!message.empty())
            return message;
    }
    // A reader of the running trace must only see whole lines: each line goes
    // in first, its newline after it, so a line ends only once it is there.
    char *const at = window_ + (end_ - windowStart_);
    for (long from = 0, newline = 0; newline < length; from = ++newline) {
        while (text[newline] != '\n')
            ++newline;
        std::memcpy(at + from, text + from, static_cast<size_t>(newline - from));
        __atomic_store_n(at + newline, '\n', __ATOMIC_RELEASE);
    }
    end_ += length;
    return {};
}

std::string Trace::close()
{
    std::string message;
    if (window_)
        munmap(window_, kWindow);
    window_ = nullptr;
    if (owned_ && ftruncate(fd_, end_) < 0)  // drop the unused reserve
        message = failure("recortar", errno);
    owned_ = false;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    return message;
}

}  // namespace inpout
