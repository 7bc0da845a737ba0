// The simulated port: touches no hardware, and keeps the last value written as
// the data lines of a real port would. Like a real port under ppdev, it takes
// one program at a time: what works here works on the bench.
#include "backend.h"
#include "mapped.h"
#include "published.h"

#include <cerrno>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace inpout {
namespace {

using published::kLockWord;

std::string holderLine()
{
    return kLockWord + std::string(program_invocation_short_name) + " (pid " + std::to_string(getpid()) + ")\n";
}

// What the lock file holds, when it is a holder's line or nothing: a file of
// the user's that happens to have the lock's name is used as it is, never
// written or removed.
bool holderText(int fd, std::string &holder)
{
    char text[64] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    const std::string line(text, n > 0 ? static_cast<size_t>(n) : 0);
    const size_t word = sizeof kLockWord - 1;
    if (line.empty() || (line.compare(0, word, kLockWord) == 0 && line.find(" (pid ") != std::string::npos &&
                         line.size() < sizeof text - 1 && line.compare(line.size() - 2, 2, ")\n") == 0)) {
        holder = line.empty() ? line : line.substr(word, line.size() - word - 1);
        return true;
    }
    return false;
}

// Whether `fd` is still the file named `path`: a holder removes the lock as it
// lets go, so a lock taken on a file that was removed meanwhile locks nothing.
bool stillNamed(int fd, const std::string &path)
{
    struct stat held, named;
    return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
           published::FileIdentity::of(held) == published::FileIdentity::of(named);
}

// `lock` is the lock file of this user's simulated port. The lock is held as
// long as the file stays open, and dies with its holder however it ends.
std::string openSim(PortState &port, const std::string &lock, unsigned short address)
{
    port.device = "puerto simulado (" + lock + ")";
    port.base = address;
    std::string why;
    for (int tries = 0; !port.fd && tries < 100; ++tries) {
        port.fd = published::openOwnFile(lock, true, why);
        if (!port.fd)
            return "No se pudo abrir el cerrojo del " + port.device + ": " + why + ". " +
                   (errno == ENOENT || errno == ENOTDIR
                        ? "La carpeta de PARPORT_PUBLISH no existe: créela, o indique en PARPORT_PUBLISH un fichero "
                          "en una carpeta que exista (o quite PARPORT_PUBLISH)."
                    : errno == EACCES || errno == EROFS
                        ? "No puede escribir en esa carpeta: indique en PARPORT_PUBLISH un fichero en una suya (o "
                          "quite PARPORT_PUBLISH)."
                        : "Indique otro sitio con PARPORT_PUBLISH=FICHERO (o borre ese fichero si es un resto suyo).");
        std::string holder;
        if (flock(port.fd.get(), LOCK_EX | LOCK_NB) < 0) {
            const int err = errno;
            if (!holderText(port.fd.get(), holder) || holder.empty())
                holder = "otro programa";
            port.fd.reset();
            if (err != EWOULDBLOCK)
                return "No se pudo tomar el cerrojo del " + port.device + ": " + reason(err) +
                       ". Indique con PARPORT_PUBLISH=FICHERO un fichero en un disco local.";
            return busy(port.device, holder, err) +
                   " Para dos puertos simulados a la vez, dé a cada programa su propio PARPORT_PUBLISH=FICHERO.";
        }
        if (!stillNamed(port.fd.get(), lock))
            port.fd.reset();
    }
    if (!port.fd)
        return "No se pudo tomar el cerrojo del " + port.device + ": otro programa lo quita y lo crea sin parar. "
               "Indique otro sitio con PARPORT_PUBLISH=FICHERO.";
    // Naming the holder only helps a second program's message; the lock works without it.
    // Past a file-size limit (ulimit -f) it is left unnamed, as the program runs on.
    const mapped::FileSizeGuard guard;
    std::string holder;
    const std::string line = holderLine();
    if (holderText(port.fd.get(), holder) && ftruncate(port.fd.get(), 0) == 0)
        (void)!pwrite(port.fd.get(), line.data(), line.size(), 0);
    port.lock = lock;
    return {};
}

std::string writeSim(PortState &port, unsigned short, unsigned char value)
{
    port.last = value;
    return {};
}

std::string closeSim(PortState &port)
{
    // A lock file this program made is removed, while still held, so that
    // nothing is left beside a file named by mistake in PARPORT_PUBLISH.
    std::string holder;
    if (port.fd && holderText(port.fd.get(), holder) && kLockWord + holder + "\n" == holderLine() &&
        stillNamed(port.fd.get(), port.lock))
        unlink(port.lock.c_str());
    port.fd.reset();
    return {};
}

}  // namespace

const Backend simBackend = {"sim", openSim, writeSim, closeSim};

}  // namespace inpout
