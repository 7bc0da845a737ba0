#include "filewatch.h"
#include "backend.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/vfs.h>

namespace inpout {

bool reportsOthersChanges(long type)
{
    // Network file systems and FUSE (sshfs, and the like): a file there may
    // be changed on another machine, which reports nothing here.
    switch (static_cast<std::uint32_t>(type)) {
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x00C36400:  // Ceph
    case V9FS_MAGIC:
    case AFS_SUPER_MAGIC:
    case CODA_SUPER_MAGIC:
    case 0x01161970:  // GFS2
    case 0x7461636f:  // OCFS2
        return false;
    default:
        return true;
    }
}

namespace {

// Why a file can't be watched, for a person, from the errno of what failed
// (`instances`: the user's inotify instances, all taken); and what the trace
// does without its watch.
std::string unwatched(int err, bool instances)
{
    const std::string why =
        instances ? "este usuario llegó a su límite de instancias de inotify (fs.inotify.max_user_instances, que "
                    "suelen agotar los servicios del escritorio): súbalo, por ejemplo con «sudo sysctl "
                    "fs.inotify.max_user_instances=512», o cierre programas que lo usen"
        : err == EMFILE ? "este programa llegó a su límite de ficheros abiertos (ulimit -n): súbalo antes de empezarlo"
        : err == ENOSPC ? "este usuario llegó a su límite de ficheros vigilados por inotify "
                          "(fs.inotify.max_user_watches): súbalo, por ejemplo con «sudo sysctl "
                          "fs.inotify.max_user_watches=524288»"
                        : reason(err);
    return "no se puede vigilar: " + why + ". La traza sigue, y lo que otro programa escriba en ella se nota antes "
           "de la línea siguiente; que le añada algo al final o lo borre, más tarde, a lo sumo al terminar.";
}

}  // namespace

std::string FileWatch::start(int fd)
{
    stop();
    clear();
    reports_ = owned::Fd(sys().inotifyInit(IN_NONBLOCK | IN_CLOEXEC));
    int err = reports_ ? 0 : errno;
    // inotify_init1 says EMFILE at either limit: a descriptor still free
    // means it was the user's instances.
    const bool instances = err == EMFILE && static_cast<bool>(owned::Fd(fcntl(fd, F_DUPFD_CLOEXEC, 0)));
    // The open file itself, through its descriptor: whatever its name now names.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const uint32_t events = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    if (err == 0 && !(wake_ = owned::Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))))
        err = errno;
    if (err == 0 && inotify_add_watch(reports_.get(), self.c_str(), events) < 0)
        err = errno;
    if (err == 0) {
        // The thread takes no signal: they stay the program's.
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        err = pthread_create(&thread_, nullptr, run, this);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    if (err != 0) {
        reports_.reset();
        wake_.reset();
        return unwatched(err, instances);
    }
    starter_ = getpid();
    struct statfs system;
    if (fstatfs(fd, &system) == 0 && !reportsOthersChanges(system.f_type))
        return "está en un sistema de ficheros de red o FUSE: no se podrán notar los cambios que se le hagan desde "
               "otro ordenador.";
    return {};
}

void FileWatch::stop()
{
    if (starter_ != 0 && starter_ == getpid()) {
        const std::uint64_t one = 1;
        (void)!::write(wake_.get(), &one, sizeof one);
        pthread_join(thread_, nullptr);
    }
    starter_ = 0;
    reports_.reset();
    wake_.reset();
}

bool FileWatch::takeReports()
{
    alignas(inotify_event) char buffer[4096];
    bool any = false;
    while (::read(reports_.get(), buffer, sizeof buffer) > 0)
        any = true;
    return any;
}

void *FileWatch::run(void *self)
{
    auto &watch = *static_cast<FileWatch *>(self);
    pollfd waits[2] = {{watch.reports_.get(), POLLIN, 0}, {watch.wake_.get(), POLLIN, 0}};
    while (poll(waits, 2, -1) >= 0 || errno == EINTR) {
        if (waits[1].revents)
            break;
        if (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        const std::lock_guard<std::mutex> lock(watch.mutex_);
        if (watch.takeReports())
            watch.changed_.store(true, std::memory_order_release);
    }
    return nullptr;
}

FileWatch::Own::Own(FileWatch &watch) : watch_(watch) { watch_.mutex_.lock(); }

FileWatch::Own::~Own()
{
    if (watch_.reports_)
        watch_.takeReports();
    watch_.mutex_.unlock();
}

}  // namespace inpout
