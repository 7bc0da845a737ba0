#include "trace.h"
#include "backend.h"
#include "decimal.h"
#include "mapped.h"
#include "vcd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

// The mark that ends a text trace's reserve: two zero bytes at least, then
// "libinpout32 reserva <from> <window>\n", the two numbers in 20 digits each:
// where the run's text began and where the window it writes in begins. From
// the mark the next run finds exactly what the killed one left: every byte
// from the first zero at or after both on.
constexpr char kMarkWord[] = "libinpout32 reserva ";
constexpr off_t kMark = 64;
constexpr int kDigits = 20;
constexpr off_t kMarkZeros = kMark - (off_t(sizeof kMarkWord) - 1) - 2 * kDigits - 2;  // before its text

bool endsWithVcd(const std::string &path)
{
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".vcd") == 0;
}

// Reads the number of `kDigits` digits at `text`; -1 when it is not one.
off_t number(const char *text)
{
    off_t value = 0;
    for (int i = 0; i < kDigits; ++i) {
        if (text[i] < '0' || text[i] > '9' || value > (off_t(1) << 58))
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Where the text of a run that was killed ends, when the file of `size` bytes
// ends in its reserve and mark; -1 when it does not.
off_t killedRunEnd(int fd, off_t size)
{
    char mark[kMark];
    const off_t last = size - kMark + kMarkZeros;  // lines may run up to the mark's own zero bytes
    if (size < kWindow || pread(fd, mark, kMark, size - kMark) != kMark)
        return -1;
    const char *word = mark + kMarkZeros;
    const off_t from = number(word + sizeof kMarkWord - 1), window = number(word + sizeof kMarkWord + kDigits);
    if (std::count(static_cast<const char *>(mark), word, '\0') != kMarkZeros || std::memcmp(word, kMarkWord, sizeof kMarkWord - 1) != 0 ||
        word[sizeof kMarkWord - 1 + kDigits] != ' ' || mark[kMark - 1] != '\n' || from < 0 || window < 0 ||
        window + kWindow != size || from > size - kMark)
        return -1;
    // The first zero byte after the run's lines; none of its lines holds one.
    static char block[1 << 16];
    off_t zero = -1;
    for (off_t at = std::max(from, window); zero < 0 && at < last;) {
        const ssize_t n = pread(fd, block, static_cast<size_t>(std::min<off_t>(sizeof block, last - at)), at);
        if (n <= 0)
            return -1;
        if (const void *found = std::memchr(block, '\0', static_cast<size_t>(n)))
            zero = at + (static_cast<const char *>(found) - block);
        at += n;
    }
    if (zero < 0)
        return -1;
    // A line cut short by the kill goes too: back to the last newline.
    const off_t back = std::max(from, zero - kMark);
    const ssize_t n = pread(fd, block, static_cast<size_t>(zero - back), back);
    const void *newline = n > 0 ? memrchr(block, '\n', static_cast<size_t>(n)) : nullptr;
    return newline ? back + (static_cast<const char *>(newline) - block) + 1 : back;
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
    fd_ = ::open(path, O_RDWR | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd_ < 0)
        return failure("abrir", errno);
    struct stat status;
    if (fstat(fd_, &status) < 0)
        return fail(failure("examinar", errno));
    if (!S_ISREG(status.st_mode))
        return fail(failure("usar", EINVAL) + " Debe ser un fichero normal, no un dispositivo ni una tubería.");
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
    // What a killed run left after its lines is ours to cut; the rest stays.
    const off_t killed = killedRunEnd(fd_, status.st_size);
    if (killed >= 0 && ftruncate(fd_, killed) < 0)
        return fail(failure("recortar", errno));
    from_ = end_ = killed >= 0 ? killed : status.st_size;
    char last = '\n';
    if (end_ > 0 && pread(fd_, &last, 1, end_ - 1) != 1)
        return fail(failure("leer", errno));
    owned_ = true;
    std::string message = map(end_);
    // Lines of our own start on a line of their own.
    if (message.empty() && last != '\n')
        message = append("\n", 1);
    return message.empty() ? message : fail(message);
}

// Maps the window of the file that holds offset `at`, with its space reserved
// on disk (so a full disk is an error here, not a crash at a later write).
std::string Trace::map(off_t at)
{
    unmap();
    // A file cut short where no store of ours could notice is not ours to grow again.
    struct stat status;
    if (fstat(fd_, &status) == 0 && status.st_size < end_)
        return cutShort();
    windowStart_ = at & ~(off_t(sysconf(_SC_PAGESIZE)) - 1);
    // A text trace's file grows with its new mark in one step, so that a run
    // killed at any moment leaves a file that ends in a mark.
    char mark[kMark + 1];
    std::snprintf(mark + kMarkZeros, sizeof mark - size_t(kMarkZeros), "%s%0*lld %0*lld\n", kMarkWord, kDigits,
                  static_cast<long long>(from_), kDigits, static_cast<long long>(windowStart_));
    std::memset(mark, 0, size_t(kMarkZeros));
    if (const int err = mapped::reserve(fd_, windowStart_, kWindow, vcd_ ? nullptr : mark, kMark))
        return failure("ampliar", err);
    void *window = mmap(nullptr, kWindow, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, windowStart_);
    if (window == MAP_FAILED)
        return failure("proyectar en memoria", errno);
    window_ = static_cast<char *>(window);
    losses_ = mapped::losses();
    mapped::watch(window_, kWindow);
    if (vcd_)
        return {};
    // The old mark goes once the new one is there.
    if (mark_ >= windowStart_)
        std::memset(window_ + (mark_ - windowStart_), 0, kMark);
    mark_ = windowStart_ + kWindow - kMark;
    return {};
}

void Trace::unmap()
{
    if (!window_)
        return;
    mapped::unwatch(window_);
    munmap(window_, kWindow);
    window_ = nullptr;
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
    // A text trace keeps its mark, and a zero byte before it, past its lines.
    const off_t room = windowStart_ + kWindow - (vcd_ ? 0 : kMark);
    if (!window_ || end_ + length > room) {
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
    // Cut short under us, the file is no longer the trace's to write or to
    // trim: what it holds now is someone else's doing.
    if (mapped::losses() != losses_ && mapped::lost(window_)) {
        unmap();
        return cutShort();
    }
    end_ += length;
    return {};
}

std::string Trace::cutShort()
{
    owned_ = false;
    return "El fichero de traza " + name_ + " (PARPORT_TRACE) se acortó mientras se escribía (otro programa lo "
           "vació o lo truncó) y se perdieron sus últimas líneas; la traza se detiene aquí. No vacíe ni rote una "
           "traza en uso: ciérrela primero, o dé a cada ejecución su propio fichero.";
}

std::string Trace::close()
{
    std::string message;
    unmap();
    // The unused reserve and its mark go; a file cut shorter meanwhile is
    // someone else's doing, and stays as it is.
    struct stat status;
    if (owned_ && fstat(fd_, &status) == 0 && status.st_size >= end_ && ftruncate(fd_, end_) < 0)
        message = failure("recortar", errno);
    owned_ = false;
    mark_ = -1;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    return message;
}

}  // namespace inpout
