#include "published.h"
#include "mapped.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace published {

namespace {

std::string defaultArea() { return "/dev/shm/motorpasos-3-" + std::to_string(getuid()); }

// Checks an open file: a regular file of this user's that no one else may write.
bool isOwn(int fd, std::string &why)
{
    struct stat status;
    if (fstat(fd, &status) < 0)
        why = std::string("no se pudo examinar: ") + std::strerror(errno);
    else if (!S_ISREG(status.st_mode))
        why = "no es un fichero normal";
    else if (status.st_uid != geteuid())
        why = "pertenece a otro usuario (uid " + std::to_string(status.st_uid) + ")";
    else if (status.st_mode & (S_IWGRP | S_IWOTH))
        why = "otros usuarios pueden escribir en él";
    else
        return true;
    return false;
}

bool alive(std::int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); }

// When process `pid` started, in clock ticks since boot (the 22nd field of
// /proc/PID/stat); 0 when it can't be read. The name before it is in
// parentheses and may hold anything, spaces and parentheses too.
std::uint64_t startOf(std::int32_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    const char *field = std::strrchr(text, ')');
    for (int i = 2; field && i < 22; ++i)  // the name is field 2
        field = std::strchr(field + 1, ' ');
    return field ? std::strtoull(field + 1, nullptr, 10) : 0;
}

// The program that took the slot still runs: the same pid and the same start.
bool holds(const Writer &writer, std::int32_t pid)
{
    return alive(pid) && writer.started.load(std::memory_order_relaxed) == startOf(pid);
}

// Drafts of areas (`where`.nuevo-PID) left by writers that died making them.
void clearDrafts(const std::string &where)
{
    const std::size_t slash = where.rfind('/');
    const std::string folder = where.substr(0, slash == std::string::npos ? 0 : slash + 1);
    const std::string prefix = where.substr(folder.size()) + ".nuevo-";
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir)
        return;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size() ||
            name.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
            continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        struct stat status;
        if (pid > 0 && pid <= INT32_MAX && !alive(std::int32_t(pid)) && lstat((folder + name).c_str(), &status) == 0 &&
            S_ISREG(status.st_mode) && status.st_uid == geteuid())
            unlink((folder + name).c_str());
    }
    closedir(dir);
}

void fillHeader(Area &area)
{
    area.header.version = kVersion;
    area.header.size = sizeof(Area);
    area.header.magic.store(kMagic, std::memory_order_release);
}

// Makes a whole new area at `where` in one step: built under another name,
// then linked into place, so nobody ever opens it half made. False (errno
// set) on failure; true also when someone else made it first.
bool create(const std::string &where)
{
    clearDrafts(where);
    const std::string draft = where + ".nuevo-" + std::to_string(getpid());
    const int fd = open(draft.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    errno = mapped::reserve(fd, 0, sizeof(Area));  // sized and given its space at once
    bool made = errno == 0;
    if (made) {
        void *memory = mmap(nullptr, sizeof(Area), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        made = memory != MAP_FAILED;
        if (made) {
            fillHeader(*static_cast<Area *>(memory));
            munmap(memory, sizeof(Area));
        }
    }
    made = made && (link(draft.c_str(), where.c_str()) == 0 || errno == EEXIST);
    const int err = errno;
    unlink(draft.c_str());
    close(fd);
    errno = err;
    return made;
}

}  // namespace

std::string areaFrom(const char *setting)
{
    const std::string value = setting ? setting : "";
    if (value == "0")
        return {};
    return value.empty() ? defaultArea() : value;  // a plain name is a file here, as anywhere
}

std::string simulatedPortLock(const char *setting)
{
    const std::string area = areaFrom(setting);
    return (area.empty() ? defaultArea() : area) + ".lock";
}

int openOwnFile(const std::string &path, bool create, std::string &why)
{
    // Not a terminal of a device named by a slip, and never blocking on one.
    const int flags = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
    const int fd = open(path.c_str(), flags, 0600);
    if (fd < 0) {
        why = errno == ELOOP ? "es un enlace simbólico" : std::string("no se pudo abrir: ") + std::strerror(errno);
        return -1;
    }
    if (isOwn(fd, why))
        return fd;
    close(fd);
    errno = EPERM;  // there, but not ours: not to be made anew
    return -1;
}

Area *mapArea(const std::string &where, std::string &error)
{
    if (where.empty()) {
        error = "PARPORT_PUBLISH=0: el puerto no se publica. Quite esa variable para ver las escrituras en el simulador.";
        return nullptr;
    }
    const char advice[] = " Indique otro fichero en PARPORT_PUBLISH (el mismo a los programas y al simulador), "
                          "o PARPORT_PUBLISH=0 para que los programas no publiquen.";
    const auto refuse = [&](const std::string &why) -> Area * {
        error = "No se publica el puerto para el simulador: " + where + " " + why + ", y se deja como está." + advice;
        return nullptr;
    };
    std::string why;
    int fd = openOwnFile(where, false, why);
    if (fd < 0 && errno == ENOENT) {
        if (!create(where)) {
            const int err = errno;
            error = "No se publica el puerto para el simulador: no se pudo crear " + where + ": " + std::strerror(err) +
                    "." + (err == EFBIG ? " Este proceso no puede hacer ficheros tan grandes (ulimit -f): súbalo."
                           : err == ENOSPC ? " No queda sitio: haga sitio (en /dev/shm, cerrando programas que usen "
                                             "memoria compartida), o publique en otro disco."
                                           : "") + advice;
            return nullptr;
        }
        fd = openOwnFile(where, false, why);
    }
    if (fd < 0)
        return refuse(why);
    why.clear();
    struct {
        std::uint64_t magic;
        std::uint32_t version, size;
    } header{};
    struct stat status;
    bool fresh = false;
    if (fstat(fd, &status) < 0) {
        why = std::string("no se pudo examinar: ") + std::strerror(errno);
    } else if (status.st_size == 0) {
        fresh = true;  // an empty file is free to take; its size comes with its space
    } else if (status.st_size != off_t(sizeof(Area)) || pread(fd, &header, sizeof header, 0) != ssize_t(sizeof header) ||
               header.magic != kMagic) {
        why = "no es un área de publicación de motorpasos";
    } else if (header.version != kVersion || header.size != sizeof(Area)) {
        why = "es un área de otra versión de motorpasos (" + std::to_string(header.version) + ")";
    }
    // Space for every page now, so that a full disk is this warning and not
    // a SIGBUS at some later write.
    // (Not again over a whole one: where the system has no fallocate, the
    // stand-in writes bytes, under programs that may be writing there.)
    const bool whole = !fresh && status.st_blocks * 512 >= off_t(sizeof(Area));
    if (const int err = why.empty() && !whole ? mapped::reserve(fd, 0, sizeof(Area)) : 0)
        why = std::string("no tiene sitio: ") + std::strerror(err);
    void *memory = MAP_FAILED;
    if (why.empty()) {
        memory = mmap(nullptr, sizeof(Area), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED)
            why = std::string("no se pudo proyectar en memoria: ") + std::strerror(errno);
    }
    if (memory == MAP_FAILED) {
        if (fresh)
            (void)!ftruncate(fd, 0);  // empty again, as it was
        close(fd);
        return refuse(why);
    }
    Area *area = static_cast<Area *>(memory);
    mapped::watch(area, sizeof(Area));
    if (fresh) {
        fillHeader(*area);
        (void)!fchmod(fd, 0600);  // this user's alone, as a new area is
    }
    close(fd);
    return area;
}

void unmapArea(Area *area)
{
    if (!area)
        return;
    mapped::unwatch(area);
    munmap(area, sizeof(Area));
}

bool gone(const Area &area) { return mapped::lost(&area); }

int attach(Area &area, const char *name)
{
    const std::int32_t pid = getpid();
    std::uint64_t words[2] = {0, 0};
    std::strncpy(reinterpret_cast<char *>(words), name, sizeof words - 1);
    for (int slot = 0; slot < kWriters; ++slot) {
        Writer &writer = area.writers[slot];
        std::int32_t holder = writer.pid.load();
        // A slot is free, or was left by a program that is gone.
        if ((holder != 0 && holds(writer, holder)) || !writer.pid.compare_exchange_strong(holder, pid))
            continue;
        writer.ready.store(0, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        writer.name[0].store(words[0], std::memory_order_relaxed);
        writer.name[1].store(words[1], std::memory_order_relaxed);
        writer.started.store(startOf(pid), std::memory_order_relaxed);
        writer.ready.store(pid, std::memory_order_release);
        return slot;
    }
    return -1;
}

void detach(Area &area, int slot)
{
    // Only its own: a forked child that detaches leaves its parent's slot be.
    std::int32_t pid = getpid();
    if (slot < 0 || area.writers[slot].pid.load() != pid)
        return;
    area.writers[slot].ready.store(0, std::memory_order_relaxed);
    area.writers[slot].pid.compare_exchange_strong(pid, 0);
}

bool last(const Area &area, Write &out)
{
    // The newest entry may still be being filled; the one before it is whole.
    const std::uint64_t head = area.writes.load(std::memory_order_acquire);
    for (std::uint64_t n = head; n > 0 && head - n < 4; --n)
        if (read(area, n - 1, out))
            return true;
    return false;
}

bool writer(const Area &area, int slot, std::int32_t &pid, std::string &name)
{
    const Writer &writer = area.writers[slot];
    pid = writer.ready.load(std::memory_order_acquire);
    if (pid == 0)
        return false;
    char text[sizeof writer.name + 1] = {};
    const std::uint64_t words[2] = {writer.name[0].load(std::memory_order_relaxed),
                                    writer.name[1].load(std::memory_order_relaxed)};
    std::memcpy(text, words, sizeof words);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (writer.ready.load(std::memory_order_relaxed) != pid || writer.pid.load(std::memory_order_relaxed) != pid ||
        !holds(writer, pid))
        return false;
    name = text;
    return true;
}

}  // namespace published
