#include "launch.h"
#include "published.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace simulador {

namespace {

// Whether no other viewer watches the area at `area`; this process then holds
// the lock. A lock that can't be had for another reason counts as free: two
// viewers are better than none.
bool watchAlone(const std::string &area)
{
    std::string why;
    const int fd = area.empty() ? -1 : published::openOwnFile(area + ".visor", true, why);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return true;  // the descriptor stays open, and the lock held, until the process ends
    close(fd);
    return false;
}

// Qt's only answer to a missing display is to abort.
bool hasDisplay(int argc, char **argv)
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char *value = std::getenv(name); value && *value)
            return true;
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "-platform"))
            return true;
    return false;
}

// PROGRAMA as it lies beside this program (the build tree, or the installed
// programs), else as the PATH finds it.
void run(const char *program)
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0 && !std::strchr(program, '/')) {
        std::string path(self, size_t(n));
        path = path.substr(0, path.rfind('/') + 1) + program;
        if (access(path.c_str(), X_OK) == 0)
            execl(path.c_str(), program, static_cast<char *>(nullptr));
    }
    execlp(program, program, static_cast<char *>(nullptr));
}

}  // namespace

int launch(int argc, char **argv)
{
    const char *program = nullptr;
    for (int i = 1; i + 1 < argc; ++i)
        if (!std::strcmp(argv[i], "--con"))
            program = argv[i + 1];
    if (!hasDisplay(argc, argv)) {
        std::fprintf(stderr, "simulador: no hay pantalla (DISPLAY y WAYLAND_DISPLAY vacías): arránquelo en una sesión "
                             "gráfica, o con ssh -X.\n");
        return 1;
    }
    const std::string area = published::areaFrom(std::getenv("PARPORT_PUBLISH"));
    const bool alone = watchAlone(area);
    if (!program)
        return -1;
    if (alone && !area.empty()) {  // with publishing off a viewer would have nothing to show
        // The viewer in a session of its own, reparented at once: it stays open
        // after the program ends (a capture can still be saved), and a Ctrl+C
        // meant for the program does not close it.
        const pid_t child = fork();
        if (child == 0) {
            if (fork() != 0)
                _exit(0);
            setsid();
            // Nor does it hold the caller's pipes open (x=$(simulador --con …), ./run.sh | tee): its
            // input and output go nowhere, and its errors to a terminal only.
            const int nowhere = open("/dev/null", O_RDWR | O_CLOEXEC);
            for (int fd = 0; nowhere >= 0 && fd <= 2; ++fd)
                if (fd < 2 || !isatty(fd))
                    dup2(nowhere, fd);
            if (nowhere > 2)
                close(nowhere);
            return -1;
        }
        if (child > 0)
            waitpid(child, nullptr, 0);
    }
    if (const char *parport = std::getenv("PARPORT"); !parport || !*parport)
        setenv("PARPORT", "sim", 1);
    run(program);
    std::fprintf(stderr, "simulador: no se pudo arrancar %s: %s. Compruebe que está instalado junto al simulador.\n",
                 program, std::strerror(errno));
    return 1;
}

}  // namespace simulador
