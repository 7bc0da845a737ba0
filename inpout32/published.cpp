#include "published.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace published {

std::string areaName() { return "/motorpasos-1-" + std::to_string(getuid()); }

std::string areaFrom(const char *setting)
{
    const std::string value = setting ? setting : "";
    if (value == "0")
        return {};
    return value.find('/') != std::string::npos ? value : areaName();
}

Area *mapArea(const std::string &where, std::string &error)
{
    const bool shared = where.rfind("/motorpasos-", 0) == 0;
    const int fd = shared ? shm_open(where.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)
                          : open(where.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const std::string shown = shared ? "/dev/shm" + where : where;
    const auto fail = [&](const char *what) -> Area * {
        error = std::string("No se pudo ") + what + " el área donde se publica el puerto, " + shown + ": " +
                std::strerror(errno) + ". El simulador no verá las escrituras; compruebe que se puede escribir "
                                       "allí (PARPORT_PUBLISH=0 deja de publicar).";
        return nullptr;
    };
    if (fd < 0)
        return fail("abrir");
    struct stat status;
    // A zero-filled area is an empty one, so whoever comes first just sizes it.
    if (fstat(fd, &status) < 0 || (status.st_size < off_t(sizeof(Area)) && ftruncate(fd, sizeof(Area)) < 0)) {
        const int err = errno;
        close(fd);
        errno = err;
        return fail("dimensionar");
    }
    void *area = mmap(nullptr, sizeof(Area), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int err = errno;
    close(fd);
    errno = err;
    if (area == MAP_FAILED)
        return fail("proyectar");
    return static_cast<Area *>(area);
}

void unmapArea(Area *area)
{
    if (area)
        munmap(area, sizeof(Area));
}

int attach(Area &area, const char *name)
{
    const std::int32_t pid = getpid();
    for (int slot = 0; slot < kWriters; ++slot) {
        Writer &writer = area.writers[slot];
        std::int32_t holder = writer.pid.load();
        // A slot is free, or was left by a program that is gone.
        if (holder != 0 && (kill(holder, 0) == 0 || errno != ESRCH))
            continue;
        if (!writer.pid.compare_exchange_strong(holder, pid))
            continue;
        std::strncpy(writer.name, name, sizeof writer.name - 1);
        writer.name[sizeof writer.name - 1] = '\0';
        return slot;
    }
    return -1;
}

void detach(Area &area, int slot)
{
    if (slot < 0)
        return;
    std::int32_t pid = getpid();
    area.writers[slot].pid.compare_exchange_strong(pid, 0);
}

}  // namespace published
