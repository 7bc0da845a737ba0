#include "trace.h"
#include "backend.h"
#include "mapped.h"
#include "mark.h"
#include "published.h"
#include "tracetext.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace inpout {

namespace {

bool endsWithVcd(const std::string &path)
{
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".vcd") == 0;
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
        warn("El fichero de traza " + name_ + " (PARPORT_TRACE) " + unwatched);
    left_ = Left();
    if (endsWithVcd(name_))
        dump_.emplace();
    {
        const FileWatch::Own own(watch_);
        // A dump holds one run, from its header on; a text trace goes on
        // after what the file holds, less what a killed run left after its
        // lines (taken out from under a note appended since).
        const off_t size = status.st_size;
        const mark::Killed killed = dump_ ? mark::Killed{0, size} : mark::findKilled(fd_.get(), size);
        if (killed.end >= 0 && killed.end < size)
            mark::takeOut(fd_.get(), killed.lines, killed.end);
        else if (killed.end >= 0 && ftruncate(fd_.get(), killed.lines) < 0)
            return fail(failure(dump_ ? "vaciar" : "recortar", errno));
    }
    if (fstat(fd_.get(), &status) < 0)
        return fail(failure("examinar", errno));
    left_.from = left_.end = left_.size = status.st_size;
    char last = '\n';
    if (left_.end > 0 && pread(fd_.get(), &last, 1, left_.end - 1) != 1)
        return fail(failure("leer", errno));
    std::string message = map(left_.end);
    // Lines of the trace's own start on a line of their own, a dump with its header.
    const std::string header = dump_ ? dump_->header() : last != '\n' ? "\n" : "";
    if (message.empty() && !header.empty())
        message = append(header.data(), static_cast<long>(header.size()));
    return message.empty() ? message : fail(message);
}

// Maps the window of the file that holds offset `at`, with its space reserved
// on disk (so a full disk is an error here, not a crash at a later write).
std::string Trace::map(off_t at)
{
    // A file another program changed is not the trace's to grow again.
    if (left_.window >= 0)
        if (std::string message = look(false); left_.window < 0)
            return message;
    window_.reset();
    const FileWatch::Own own(watch_);
    const off_t start = at & ~(off_t(sysconf(_SC_PAGESIZE)) - 1);
    // A text trace's file grows with its new mark in one step, so that a run
    // killed at any moment leaves a file that ends in a mark; a dump's ends
    // in zero bytes (each run starts the file anew: no mark need say where).
    char mark[mark::kLength] = {};
    if (!dump_)
        mark::make(mark, left_.from, start);
    if (const int err = mapped::reserve(fd_.get(), start, mark::kWindow, mark, mark::kLength))
        return failure("ampliar", err);
    // The old mark goes once the new one is there.
    const off_t old = left_.window >= 0 ? left_.reserveEnd() : -1;
    left_.window = start;
    left_.size = std::max(left_.size, left_.markEnd());
    std::memcpy(left_.mark, mark, sizeof mark);
    const char zeros[mark::kLength] = {};
    if (old >= 0 && pwrite(fd_.get(), zeros, mark::kLength, old) != mark::kLength)
        return failure("ampliar", errno);
    window_ = owned::Mapping::map(mark::kWindow, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_.get(), start,
                                  true);
    if (!window_)
        return failure("proyectar en memoria", errno);
    losses_ = mapped::losses();
    return {};
}

std::string Trace::write(unsigned long long time, unsigned short address, short value)
{
    char buffer[64];
    char *const end = buffer + sizeof buffer;
    if (dump_) {
        const long length = static_cast<long>(dump_->write(buffer, time, value));
        return length ? append(buffer, length) : std::string();
    }
    const char *const line = traffic::traceLine(end, time, address, value);
    return append(line, end - line);
}

std::string Trace::append(const char *text, long length)
{
    // Its lines run up to its mark, whose first bytes are zero.
    if (left_.end + length > left_.reserveEnd())
        if (std::string message = map(left_.end); !isOpen())
            return message;
    // Before any store: the file may no longer be the trace's to write.
    if (watch_.changed() || !stillItsOwn(length))
        if (std::string message = look(false); !isOpen())
            return message;
    // A reader of the running trace must only see whole lines: each line goes
    // in first, its newline after it, so a line ends only once it is there.
    char *const at = static_cast<char *>(window_.get()) + (left_.end - left_.window);
    for (long from = 0, newline = 0; newline < length; from = ++newline) {
        while (text[newline] != '\n')
            ++newline;
        std::memcpy(at + from, text + from, static_cast<size_t>(newline - from));
        __atomic_store_n(at + newline, '\n', __ATOMIC_RELEASE);
    }
    // Cut short under the store, which went to memory of the process's own.
    if (mapped::losses() != losses_ && window_.lost())
        return look(true);
    if (const off_t kept = left_.end - left_.from; kept < off_t(sizeof left_.head))
        std::memcpy(left_.head + kept, text, size_t(std::min<off_t>(length, off_t(sizeof left_.head) - kept)));
    left_.end += length;
    return {};
}

bool Trace::stillItsOwn(long length) const
{
    // Read through the mapping, no system call: the page cache as another
    // program's writes and cuts leave it. A page cut off the file faults, and
    // then reads as zeros of the process's own: the loss counter says so.
    static const char zeros[mark::kLength] = {};
    const char *const window = static_cast<const char *>(window_.get());
    bool same = std::memcmp(window + (left_.reserveEnd() - left_.window), left_.mark, mark::kLength) == 0;
    for (long at = 0; same && at < length; at += mark::kLength)
        same = std::memcmp(window + (left_.end - left_.window) + at, zeros,
                           size_t(std::min<long>(mark::kLength, length - at))) == 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the reads above before the count
    return same && mapped::losses() == losses_;
}

Found Trace::find(bool storeFaulted) const
{
    Found found;
    struct stat status;
    if (fstat(fd_.get(), &status) < 0)
        return {false, left_.size, true, true, false, false};  // nothing to tell: as it was
    found.removed = status.st_nlink == 0;
    found.size = status.st_size;
    found.mappingLost = storeFaulted || window_.lost();
    // The run's first bytes, where it wrote them.
    const off_t length = std::min<off_t>({found.size - left_.from, left_.end - left_.from, off_t(sizeof left_.head)});
    char start[sizeof left_.head];
    found.startsAsItsOwn = length > 0 && pread(fd_.get(), start, size_t(length), left_.from) == length &&
                           std::memcmp(start, left_.head, size_t(length)) == 0;
    char mark[mark::kLength];
    found.reserveIntact = found.size >= left_.markEnd() && mark::zeroUpTo(fd_.get(), left_.end, left_.reserveEnd()) &&
                          pread(fd_.get(), mark, mark::kLength, left_.reserveEnd()) == mark::kLength &&
                          std::memcmp(mark, left_.mark, mark::kLength) == 0;
    // The kernel zeroes what a cut leaves of its last page past the file's
    // end; a line stored there since is a line the file never got.
    const off_t page = sysconf(_SC_PAGESIZE);
    const off_t from = std::max(found.size, left_.window), to = std::min(left_.end, (found.size / page + 1) * page);
    const char *const window = static_cast<const char *>(window_.get());
    found.linesLost = storeFaulted || (window && !window_.lost() && from < to &&
                                       std::any_of(window + (from - left_.window), window + (to - left_.window),
                                                   [](char c) { return c != 0; }));
    return found;
}

std::string Trace::look(bool storeFaulted)
{
    watch_.clear();
    const Found found = find(storeFaulted);
    return act(classify(left_, found), found);
}

std::string Trace::act(Change change, const Found &found)
{
    if (change == Change::None) {
        losses_ = mapped::losses();  // another mapping's loss, or none
        return {};
    }
    const Left left = left_;
    stop(true);
    const std::string head = "El fichero de traza " + name_ + " (PARPORT_TRACE) ";
    std::string said;
    switch (change) {
    case Change::CutLosing:
        return head + "se acortó mientras se escribía (otro programa lo truncó) y se perdieron sus últimas líneas; la "
               "traza se detiene aquí y deja el fichero como está. No vacíe ni rote una traza en uso: ciérrela "
               "primero, o dé a cada ejecución su propio fichero.";
    case Change::Removed:
        said = "ya no está: otro programa lo borró, o guardó otro fichero en su lugar, que se deja como está.";
        break;
    case Change::Emptied:
        said = "lo ha vaciado otro programa; se deja como está.";
        break;
    case Change::CutInside:
        said = "se acortó mientras se escribía (otro programa lo truncó); se deja como está.";
        break;
    case Change::Appended:
        mark::takeOut(fd_.get(), left.end, left.markEnd());
        said = "recibió " + std::to_string(found.size - left.size) + " bytes al final, de otro programa, que quedan "
               "tras sus líneas.";
        break;
    default:
        said = "lo ha escrito otro programa (ahora tiene " + std::to_string(found.size) + " bytes); se deja como está.";
    }
    warn(head + said + " La traza se detiene aquí; el motor sigue.");
    return {};
}

void Trace::stop(bool keepFile)
{
    window_.reset();
    watch_.stop();
    if (keepFile)
        left_.window = -1;
}

std::string Trace::close()
{
    if (!fd_)
        return {};
    std::string message;
    // Its reserve and mark go where it still has them as it left them; a
    // change is said as it would be before a line.
    if (fd_.ownedHere() && left_.window >= 0)
        message = look(false);
    if (fd_.ownedHere() && left_.window >= 0) {
        stop(false);
        const mapped::FileSizeGuard guard;
        if (ftruncate(fd_.get(), left_.end) < 0)
            message = failure("recortar", errno);
    }
    stop(true);
    fd_.reset();
    left_ = Left();
    dump_.reset();
    return message;
}

void Trace::leaveToParent()
{
    // Each owner lets go without touching the file: they are the parent's.
    stop(true);
    fd_.reset();
}

}  // namespace inpout
