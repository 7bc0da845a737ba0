// The simulated port: touches no hardware, and keeps the last value written as
// the data lines of a real port would. Like a real port under ppdev, it takes
// one program at a time: what works here works on the bench.
#include "backend.h"
#include "published.h"

#include <cerrno>
#include <sys/file.h>
#include <unistd.h>

namespace inpout {
namespace {

// Who holds the lock, as its holder wrote it: "vueltas (pid 1234)".
std::string holderOf(int fd)
{
    char text[64] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    std::string holder(text, n > 0 ? static_cast<size_t>(n) : 0);
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0'))
        holder.pop_back();
    return holder.empty() ? "otro programa" : holder;
}

// `lock` is the lock file of this user's simulated port. The lock is held as
// long as the file stays open, and dies with its holder however it ends.
std::string openSim(PortState &port, const std::string &lock, unsigned short address)
{
    port.device = "puerto simulado (" + lock + ")";
    port.base = address;
    std::string why;
    port.fd = published::openOwnFile(lock, true, why);
    if (port.fd < 0)
        return "No se pudo abrir el cerrojo del " + port.device + ": " + why +
               ". Bórrelo si es suyo, o indique otro sitio con PARPORT_PUBLISH=FICHERO.";
    if (flock(port.fd, LOCK_EX | LOCK_NB) < 0) {
        const int err = errno;
        const std::string holder = err == EWOULDBLOCK ? holderOf(port.fd) : "";
        ::close(port.fd);
        port.fd = -1;
        if (err != EWOULDBLOCK)
            return "No se pudo tomar el cerrojo del " + port.device + ": " + reason(err) + ".";
        return busy(port.device, holder, err) +
               " Para dos puertos simulados a la vez, dé a cada programa su propio PARPORT_PUBLISH=FICHERO.";
    }
    const std::string holder = std::string(program_invocation_short_name) + " (pid " + std::to_string(getpid()) + ")\n";
    // Naming the holder only helps a second program's message; the lock works without it.
    if (ftruncate(port.fd, 0) == 0)
        (void)!pwrite(port.fd, holder.data(), holder.size(), 0);
    return {};
}

std::string writeSim(PortState &port, unsigned short, unsigned char value)
{
    port.last = value;
    return {};
}

std::string closeSim(PortState &port)
{
    if (port.fd >= 0)
        ::close(port.fd);
    port.fd = -1;
    return {};
}

}  // namespace

const Backend simBackend = {"sim", openSim, writeSim, closeSim};

}  // namespace inpout
