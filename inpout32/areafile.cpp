// The area's file: where it is, made whole under another name and linked into
// place, taken only when it is this user's own and of this layout, mapped with
// its space reserved; and the locks beside it.
#include "published.h"
#include "reason.h"
#include "mapped.h"
#include "process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
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
        why = std::string("no se pudo examinar: ") + traffic::reason(errno);
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

// Drafts of areas (`where`.nuevo-PID) left by writers that died making them.
void clearDrafts(const std::string &where)
{
    const std::size_t slash = where.rfind('/');
    const std::string folder = where.substr(0, slash == std::string::npos ? 0 : slash + 1);
    const std::string prefix = where.substr(folder.size()) + ".nuevo-";
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(folder.empty() ? "." : folder.c_str()), closedir);
    if (!dir)
        return;
    while (const dirent *entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size() ||
            name.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
            continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        struct stat status;
        if (pid > 0 && pid <= INT32_MAX && !process::alive(std::int32_t(pid)) &&
            lstat((folder + name).c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid())
            unlink((folder + name).c_str());
    }
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
    const owned::Fd fd(open(draft.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return false;
    errno = mapped::reserve(fd.get(), 0, sizeof(Area));  // sized and given its space at once
    bool made = errno == 0;
    if (made) {
        const owned::Mapping memory =
            owned::Mapping::map(sizeof(Area), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0, false);
        if ((made = bool(memory)))
            fillHeader(*static_cast<Area *>(memory.get()));
    }
    made = made && (link(draft.c_str(), where.c_str()) == 0 || errno == EEXIST);
    const int err = errno;
    unlink(draft.c_str());
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

owned::Fd openOwnFile(const std::string &path, bool create, std::string &why)
{
    // Not a terminal of a device named by a slip, and never blocking on one.
    const int flags = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
    owned::Fd fd(open(path.c_str(), flags, 0600));
    if (!fd) {
        why = errno == ELOOP ? "es un enlace simbólico" : std::string("no se pudo abrir: ") + traffic::reason(errno);
        return fd;
    }
    if (isOwn(fd.get(), why))
        return fd;
    fd.reset();
    errno = EPERM;  // there, but not ours: not to be made anew
    return fd;
}

bool lockedByAnother(int fd) { return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) < 0 && errno == EWOULDBLOCK; }

Mapped mapArea(const std::string &where, std::string &error)
{
    Mapped made;
    if (where.empty()) {
        error = "PARPORT_PUBLISH=0: el puerto no se publica. Quite esa variable para ver las escrituras en el "
                "simulador.";
        return made;
    }
    const char advice[] = " Indique otro fichero en PARPORT_PUBLISH (el mismo a los programas y al simulador), "
                          "o PARPORT_PUBLISH=0 para que los programas no publiquen.";
    const auto refuse = [&](const std::string &why) {
        error = "No se publica el puerto para el simulador: " + where + " " + why + ", y se deja como está." + advice;
        return Mapped();
    };
    std::string why;
    owned::Fd fd = openOwnFile(where, false, why);
    if (!fd && errno == ENOENT) {
        if (!create(where)) {
            const int err = errno;
            const std::string folder = where.rfind('/') == std::string::npos ? "." : where.substr(0, where.rfind('/'));
            error = "No se publica el puerto para el simulador: no se pudo crear " + where + ": " + traffic::reason(err) +
                    "." + (err == EFBIG ? " Este proceso no puede hacer ficheros tan grandes (ulimit -f): súbalo."
                           : err != ENOSPC ? ""
                           : folder == "/dev/shm" ? " Haga sitio en /dev/shm, cerrando programas que usen memoria "
                                                    "compartida."
                                                  : " Haga sitio en " + folder + ".") + advice;
            return made;
        }
        fd = openOwnFile(where, false, why);
    }
    if (!fd)
        return refuse(why);
    why.clear();
    struct {
        std::uint64_t magic;
        std::uint32_t version, size;
    } header{};
    struct stat status;
    bool fresh = false;
    if (fstat(fd.get(), &status) < 0) {
        why = std::string("no se pudo examinar: ") + traffic::reason(errno);
    } else if (status.st_size == 0) {
        fresh = true;  // an empty file is free to take; its size comes with its space
    } else if (status.st_size != off_t(sizeof(Area)) ||
               pread(fd.get(), &header, sizeof header, 0) != ssize_t(sizeof header) || header.magic != kMagic) {
        why = "no es un área de publicación de motorpasos";
    } else if (header.version != kVersion || header.size != sizeof(Area)) {
        why = "es un área de otra versión de motorpasos (" + std::to_string(header.version) + ")";
    }
    // Space for every page now, so that a full disk is this warning and not
    // a SIGBUS at some later write.
    // (Not again over a whole one: where the system has no fallocate, the
    // stand-in writes bytes, under programs that may be writing there.)
    const bool whole = !fresh && status.st_blocks * 512 >= off_t(sizeof(Area));
    if (const int err = why.empty() && !whole ? mapped::reserve(fd.get(), 0, sizeof(Area)) : 0)
        why = std::string("no tiene sitio: ") + traffic::reason(err);
    if (why.empty()) {
        made.mapping_ = owned::Mapping::map(sizeof(Area), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0, true);
        if (!made.mapping_)
            why = std::string("no se pudo proyectar en memoria: ") + traffic::reason(errno);
    }
    if (!made) {
        if (fresh)
            (void)!ftruncate(fd.get(), 0);  // empty again, as it was
        return refuse(why);
    }
    made.identity_ = FileIdentity::of(status);
    if (fresh) {
        fillHeader(*made);
        (void)!fchmod(fd.get(), 0600);  // this user's alone, as a new area is
    }
    return made;
}

bool gone(const Area &area) { return mapped::lost(&area); }

}  // namespace published
