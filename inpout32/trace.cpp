#include "trace.h"
#include "backend.h"
#include "mapped.h"
#include "published.h"
#include "tracetext.h"
#include "vcd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/falloc.h>
#include <strings.h>
#include <sys/file.h>
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

// The first byte in [from, to) that is 0 (`zero`) or is not; `to` when there
// is none, -1 when the file can't be read that far.
off_t firstByte(int fd, off_t from, off_t to, bool zero)
{
    static char block[1 << 16];
    for (off_t at = from; at < to;) {
        const ssize_t n = pread(fd, block, static_cast<size_t>(std::min<off_t>(sizeof block, to - at)), at);
        if (n <= 0)
            return -1;
        const char *found = std::find_if(block, block + n, [zero](char c) { return (c == '\0') == zero; });
        if (found != block + n)
            return at + (found - block);
        at += n;
    }
    return to;
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
    if (std::count(static_cast<const char *>(mark), word, '\0') != kMarkZeros ||
        std::memcmp(word, kMarkWord, sizeof kMarkWord - 1) != 0 || word[sizeof kMarkWord - 1 + kDigits] != ' ' ||
        mark[kMark - 1] != '\n' || from < 0 || window < 0 || window + kWindow != size || from > size - kMark)
        return -1;
    // The first zero byte after the run's lines; none of its lines holds one.
    const off_t zero = firstByte(fd, std::max(from, window), last, true);
    if (zero < 0 || zero >= last)
        return -1;
    // A line cut short by the kill goes too: back to the last newline.
    const off_t back = std::max(from, zero - kMark);
    const ssize_t n = pread(fd, mark, static_cast<size_t>(zero - back), back);
    const void *newline = n > 0 ? memrchr(mark, '\n', static_cast<size_t>(n)) : nullptr;
    return newline ? back + (static_cast<const char *>(newline) - mark) + 1 : back;
}

// What a file the trace must not write is, from its first bytes; "" when it
// is none of those.
std::string forbidden(int fd)
{
    char head[16] = {};
    const ssize_t n = pread(fd, head, sizeof head, 0);
    std::uint64_t magic = 0;
    std::memcpy(&magic, head, sizeof magic);
    if (n >= 8 && magic == published::kMagic)
        return "un área de publicación del puerto, que leen el simulador y los programas";
    if (constexpr size_t word = sizeof published::kLockWord - 1;
        n >= ssize_t(word) && std::memcmp(head, published::kLockWord, word) == 0)
        return "el cerrojo de un puerto simulado";
    return {};
}

}  // namespace

Trace::~Trace() { close(); }

std::string Trace::failure(const char *what, int err) const
{
    const std::string head = std::string("No se pudo ") + what + " el fichero de traza " + name_ +
                             " (PARPORT_TRACE): " + reason(err) + ". ";
    switch (err) {
    case ENOSPC:
    case EDQUOT:
        return head + "El disco (o su cuota) está lleno: haga sitio, o indique en PARPORT_TRACE un fichero en otro "
                      "disco, o quite PARPORT_TRACE.";
    case EFBIG:
        return head + "El fichero llegó al tamaño máximo que permite este proceso (ulimit -f): súbalo, o quite "
                      "PARPORT_TRACE.";
    case EACCES:
    case EPERM:
        return head + "No tiene permiso: indique un fichero en una carpeta suya, o quite PARPORT_TRACE.";
    case EROFS:
        return head + "El disco es de sólo lectura: indique un fichero en otro, o quite PARPORT_TRACE.";
    case ENOENT:
    case ENOTDIR:
        return head + "La carpeta no existe: créela, o indique otra en PARPORT_TRACE, o quite PARPORT_TRACE.";
    case EISDIR:
        return head + "Eso es una carpeta: indique en PARPORT_TRACE un fichero dentro de ella, o quite PARPORT_TRACE.";
    default:
        return head + "Indique un fichero en una carpeta donde pueda escribir y con espacio libre, o quite "
                      "PARPORT_TRACE.";
    }
}

std::string Trace::open(const char *path, const std::vector<published::FileIdentity> &notThese)
{
    close();
    name_ = path;
    refused_ = false;
    // The reason the file can't be used is the one to report; it is let go.
    const auto fail = [this](std::string message) {
        close();
        return message;
    };
    fd_ = owned::Fd(::open(path, O_RDWR | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!fd_)
        return failure("abrir", errno);
    struct stat status;
    if (fstat(fd_.get(), &status) < 0)
        return fail(failure("examinar", errno));
    if (!S_ISREG(status.st_mode))
        return fail("No se puede usar " + name_ + " como fichero de traza (PARPORT_TRACE): no es un fichero normal, "
                    "sino un dispositivo, una tubería o una carpeta. Indique un fichero normal, o quite "
                    "PARPORT_TRACE.");
    // The port's own files: writing lines into them would break them for
    // every program and viewer that uses them.
    std::string what = forbidden(fd_.get());
    const auto self = published::FileIdentity::of(status);
    if (what.empty() && std::find(notThese.begin(), notThese.end(), self) != notThese.end())
        what = "uno de los ficheros del puerto (su área de publicación o un cerrojo)";
    if (!what.empty()) {
        refused_ = true;
        return fail("No se escribe la traza en " + name_ + " (PARPORT_TRACE): es " + what +
                    ", y se deja como está. El motor sigue, sin traza; indique otro fichero en PARPORT_TRACE.");
    }
    // Two programs mapping one file would overwrite each other's lines.
    if (flock(fd_.get(), LOCK_EX | LOCK_NB) < 0)
        return fail(errno == EWOULDBLOCK ? "El fichero de traza " + name_ +
                                               " (PARPORT_TRACE) ya lo está usando otro programa. "
                                               "Dé a cada programa su propio fichero de traza."
                                         : failure("reservar", errno));
    if (std::string unwatched = watch_.start(fd_.get()); !unwatched.empty())
        warn("El fichero de traza " + name_ + " (PARPORT_TRACE) " + unwatched + ".");
    opener_ = getpid();
    // A dump holds one run, from its header on.
    vcd_ = endsWithVcd(name_);
    if (vcd_) {
        {
            const FileWatch::Own own(watch_);
            if (ftruncate(fd_.get(), 0) < 0)
                return fail(failure("vaciar", errno));
        }
        owned_ = true;
        size_ = 0;
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
    const off_t killed = killedRunEnd(fd_.get(), status.st_size);
    {
        const FileWatch::Own own(watch_);
        if (killed >= 0 && ftruncate(fd_.get(), killed) < 0)
            return fail(failure("recortar", errno));
    }
    from_ = end_ = size_ = killed >= 0 ? killed : status.st_size;
    char last = '\n';
    if (end_ > 0 && pread(fd_.get(), &last, 1, end_ - 1) != 1)
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
    window_.reset();
    // A file another program changed is not ours to grow again.
    struct stat status;
    if (fstat(fd_.get(), &status) == 0 && status.st_size != size_)
        return noticeChange(false);
    const FileWatch::Own own(watch_);
    const off_t start = at & ~(off_t(sysconf(_SC_PAGESIZE)) - 1);
    // A text trace's file grows with its new mark in one step, so that a run
    // killed at any moment leaves a file that ends in a mark.
    char mark[kMark + 1];
    std::snprintf(mark + kMarkZeros, sizeof mark - size_t(kMarkZeros), "%s%0*lld %0*lld\n", kMarkWord, kDigits,
                  static_cast<long long>(from_), kDigits, static_cast<long long>(start));
    std::memset(mark, 0, size_t(kMarkZeros));
    if (const int err = mapped::reserve(fd_.get(), start, kWindow, vcd_ ? nullptr : mark, kMark))
        return failure("ampliar", err);
    windowStart_ = start;
    size_ = std::max(size_, windowStart_ + kWindow);
    window_ = owned::Mapping::map(kWindow, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_.get(), windowStart_,
                                  true);
    if (!window_)
        return failure("proyectar en memoria", errno);
    losses_ = mapped::losses();
    if (vcd_)
        return {};
    // The old mark goes once the new one is there.
    char *const window = static_cast<char *>(window_.get());
    if (mark_ >= windowStart_)
        std::memset(window + (mark_ - windowStart_), 0, kMark);
    mark_ = windowStart_ + kWindow - kMark;
    std::memcpy(markText_, mark, kMark);
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
    char *const end = buffer + sizeof buffer;
    const char *const line = traffic::traceLine(end, time, address, value);
    return append(line, end - line);
}

std::string Trace::append(const char *text, long length)
{
    // Before any store: the file may no longer be the trace's to write.
    if (watch_.changed()) {
        const std::string message = noticeChange(false);
        if (!isOpen())
            return message;
    }
    // A text trace keeps its mark, and a zero byte before it, past its lines.
    const off_t room = windowStart_ + kWindow - (vcd_ ? 0 : kMark);
    if (!window_ || end_ + length > room) {
        const std::string message = map(end_);
        if (!isOpen())
            return message;
    }
    // A reader of the running trace must only see whole lines: each line goes
    // in first, its newline after it, so a line ends only once it is there.
    char *const at = static_cast<char *>(window_.get()) + (end_ - windowStart_);
    for (long from = 0, newline = 0; newline < length; from = ++newline) {
        while (text[newline] != '\n')
            ++newline;
        std::memcpy(at + from, text + from, static_cast<size_t>(newline - from));
        __atomic_store_n(at + newline, '\n', __ATOMIC_RELEASE);
    }
    // Cut short under us (the store went to memory of the process's own):
    // what the file holds now is someone else's doing, looked at as any change.
    if (mapped::losses() != losses_ && window_.lost())
        return noticeChange(true);
    if (const off_t kept = end_ - from_; kept < off_t(sizeof head_))  // how to tell the file is still the trace's
        std::memcpy(head_ + kept, text, size_t(std::min<off_t>(length, off_t(sizeof head_) - kept)));
    end_ += length;
    return {};
}

off_t Trace::reserveEnd() const { return vcd_ ? windowStart_ + kWindow : mark_; }
off_t Trace::markEnd() const { return vcd_ ? reserveEnd() : mark_ + kMark; }

bool Trace::reserveIntact() const
{
    char mark[kMark];
    return firstByte(fd_.get(), end_, reserveEnd(), false) == reserveEnd() &&
           (vcd_ || (pread(fd_.get(), mark, kMark, mark_) == kMark && std::memcmp(mark, markText_, kMark) == 0));
}

bool Trace::startsAsItsOwn(off_t size) const
{
    const off_t length = std::min<off_t>({size - from_, end_ - from_, off_t(sizeof head_)});
    char start[sizeof head_];
    return length > 0 && pread(fd_.get(), start, size_t(length), from_) == length &&
           std::memcmp(start, head_, size_t(length)) == 0;
}

bool Trace::storedPast(off_t size) const
{
    // The kernel zeroes what a cut leaves of its last page past the file's
    // end; a line stored there since is a line the file never got.
    const off_t page = sysconf(_SC_PAGESIZE);
    const off_t from = std::max(size, windowStart_), to = std::min(end_, (size / page + 1) * page);
    const char *const window = static_cast<const char *>(window_.get());
    return window && from < to && std::any_of(window + (from - windowStart_), window + (to - windowStart_),
                                              [](char c) { return c != 0; });
}

void Trace::blankReserve()
{
    // Past the trace's mark is someone else's text, and they may still be
    // adding to it: nothing is cut or moved by hand. Whole blocks of the
    // reserve go where the file system can take them out in one step (which
    // shifts what follows, appends and all, at once); the rest becomes blank
    // lines, so that the text after it reads on from the trace's lines.
    const mapped::FileSizeGuard guard;
    const FileWatch::Own own(watch_);
    struct stat status;
    const off_t block = fstat(fd_.get(), &status) == 0 && status.st_blksize > 0 ? status.st_blksize : 4096;
    off_t last = markEnd();
    const off_t whole = (end_ + block - 1) / block * block, upTo = last / block * block;
    if (upTo > whole && fallocate(fd_.get(), FALLOC_FL_COLLAPSE_RANGE, whole, upTo - whole) == 0)
        last -= upTo - whole;
    const std::string blank(size_t(std::min<off_t>(last - end_, 1 << 16)), '\n');
    for (off_t at = end_; at < last; at += off_t(blank.size()))
        (void)!pwrite(fd_.get(), blank.data(), size_t(std::min<off_t>(off_t(blank.size()), last - at)), at);
}

std::string Trace::noticeChange(bool lost)
{
    watch_.clear();
    struct stat status;
    if (fstat(fd_.get(), &status) < 0)
        return {};
    const std::string head = "El fichero de traza " + name_ + " (PARPORT_TRACE) ";
    const std::string tail = " La traza se detiene aquí; el motor sigue.";
    if (status.st_nlink == 0) {
        stop(true);
        warn(head + "ya no está: otro programa lo borró, o guardó otro fichero en su lugar, que se deja como está." +
             tail);
        return {};
    }
    if (status.st_size < end_) {
        // Emptied or written over with other text (`>`), or cut inside the
        // trace's own lines: only in the last case were lines of the trace's
        // lost on their way in, and that write fails.
        const bool ours = startsAsItsOwn(status.st_size);
        lost = lost || storedPast(status.st_size);
        stop(true);
        if (ours && lost)
            return cutShort();
        warn(head + (ours ? "se acortó mientras se escribía (otro programa lo truncó); se deja como está."
                          : "lo ha vaciado o escrito otro programa (ahora tiene " + std::to_string(status.st_size) +
                                " bytes); se deja como está.") + tail);
        return {};
    }
    const bool intact = !lost && reserveIntact();
    if (intact && status.st_size == size_)
        return {};  // its metadata changed, or bytes before the trace's end: nothing of its reserve
    if (intact && status.st_size > size_) {
        warn(head + "recibió " + std::to_string(status.st_size - size_) + " bytes al final, de otro programa, que " +
             "quedan tras sus líneas." + tail);
        stop(true);
        blankReserve();
        return {};
    }
    stop(true);
    warn(head + "lo ha escrito otro programa (ahora tiene " + std::to_string(status.st_size) +
         " bytes, y no acaba en la reserva que dejó la traza); se deja como está." + tail);
    return {};
}

std::string Trace::cutShort()
{
    return "El fichero de traza " + name_ + " (PARPORT_TRACE) se acortó mientras se escribía (otro programa lo "
           "truncó) y se perdieron sus últimas líneas; la traza se detiene aquí y deja el fichero como está. No "
           "vacíe ni rote una traza en uso: ciérrela primero, o dé a cada ejecución su propio fichero.";
}

void Trace::stop(bool keepFile)
{
    window_.reset();
    watch_.stop();
    if (keepFile)
        owned_ = false;
}

// The unused reserve and its mark go, where they still are as the trace
// left them. A file changed otherwise is someone else's doing, and stays as
// it is.
std::string Trace::tidy()
{
    struct stat status;
    if (fstat(fd_.get(), &status) < 0 || status.st_size < end_)
        return {};
    if (!reserveIntact()) {
        warn("El fichero de traza " + name_ + " (PARPORT_TRACE) lo cambió otro programa mientras se escribía; se deja "
             "como está.");
        return {};
    }
    if (status.st_size > markEnd()) {  // appended to just now: see noticeChange()
        blankReserve();
        return {};
    }
    const mapped::FileSizeGuard guard;
    if (ftruncate(fd_.get(), end_) < 0)
        return failure("recortar", errno);
    return {};
}

std::string Trace::close()
{
    if (!fd_)
        return {};
    std::string message;
    if (opener_ == getpid()) {
        if (owned_ && watch_.changed())
            message = noticeChange(false);
        stop(false);
        if (owned_ && message.empty())
            message = tidy();
    }
    stop(true);
    fd_.reset();
    windowStart_ = end_ = size_ = from_ = 0;
    mark_ = -1;
    vcd_ = false;
    lines_ = vcd::Lines();
    first_ = 0;
    return message;
}

void Trace::leaveToParent()
{
    // Each owner lets go without touching the file: they are the parent's.
    stop(true);
    fd_.reset();
}

}  // namespace inpout
