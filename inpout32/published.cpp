#include "published.h"
#include "mapped.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <csignal>
#include <cstring>
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
    const owned::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return 0;
    char text[1024];
    const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
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
        if (pid > 0 && pid <= INT32_MAX && !alive(std::int32_t(pid)) && lstat((folder + name).c_str(), &status) == 0 &&
            S_ISREG(status.st_mode) && status.st_uid == geteuid())
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
        why = errno == ELOOP ? "es un enlace simbólico" : std::string("no se pudo abrir: ") + std::strerror(errno);
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
            error = "No se publica el puerto para el simulador: no se pudo crear " + where + ": " + std::strerror(err) +
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
        why = std::string("no se pudo examinar: ") + std::strerror(errno);
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
        why = std::string("no tiene sitio: ") + std::strerror(err);
    if (why.empty()) {
        made.mapping_ = owned::Mapping::map(sizeof(Area), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0, true);
        if (!made.mapping_)
            why = std::string("no se pudo proyectar en memoria: ") + std::strerror(errno);
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

bool Cursor::read(const Area &area, std::uint64_t n, Write &out)
{
    // `seq` is the entry's number plus one once it is whole: the same number
    // before and after reading it means it was read whole.
    const Entry &entry = area.ring[n % kRing];
    if (entry.seq.load(std::memory_order_acquire) != n + 1)
        return false;
    const std::uint64_t time = entry.time.load(std::memory_order_relaxed);
    const std::uint32_t write = entry.write.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (entry.seq.load(std::memory_order_relaxed) != n + 1)
        return false;
    out = {time, static_cast<unsigned short>(write >> 16), static_cast<short>(write & 0xffff)};
    return true;
}

Cursor::Cursor(const Area &area, std::uint64_t since) : area_(&area)
{
    const std::uint64_t head = area.writes.load(std::memory_order_acquire);
    const std::uint64_t oldest = head > kRing ? head - kRing : 0;
    next_ = head;
    // Back from the newest while the writes are of the span; the newest few
    // may still be being filled, the one before them is whole.
    for (std::uint64_t n = head; n > oldest; --n) {
        Write write;
        if (!read(area, n - 1, write)) {
            if (head - n < 4)
                continue;
            lateStart_ = true;  // overwritten while we looked: older ones are gone too
            return;
        }
        if (write.time < since) {
            before_ = write;
            hasBefore_ = true;
            return;
        }
        next_ = n - 1;
    }
    lateStart_ = oldest > 0;  // the oldest the ring holds is of the span: older ones may have been too
}

bool Cursor::next(Write &out)
{
    const std::uint64_t head = area_->writes.load(std::memory_order_acquire);
    if (head < next_)
        next_ = 0;  // an area made anew: all it holds is new
    if (head - next_ > kRing) {
        overrun_ += head - next_ - kRing;
        next_ = head - kRing;
    }
    for (; next_ < head; ++next_, ++overrun_) {
        if (read(*area_, next_, out)) {
            ++next_;
            return true;
        }
        if (area_->ring[next_ % kRing].seq.load(std::memory_order_acquire) <= next_ + 1)
            return false;  // still being written: next time
    }
    return false;
}

std::uint64_t Cursor::waiting() const
{
    const std::uint64_t head = area_->writes.load(std::memory_order_acquire);
    return head < next_ ? head : head - next_;
}

bool Cursor::before(Write &out) const
{
    if (hasBefore_)
        out = before_;
    return hasBefore_;
}

bool last(const Area &area, Write &out) { return Cursor(area).before(out); }

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
