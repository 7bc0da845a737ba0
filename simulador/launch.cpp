#include "launch.h"
#include "published.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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
    const bool alone = watchAlone(published::areaFrom(std::getenv("PARPORT_PUBLISH")));
    if (!program)
        return -1;
    if (alone) {
        // The viewer in a session of its own, reparented at once: it stays open
        // after the program ends (a capture can still be saved), and a Ctrl+C
        // meant for the program does not close it.
        const pid_t child = fork();
        if (child == 0) {
            if (fork() != 0)
                _exit(0);
            setsid();
            return -1;
        }
        if (child > 0)
            waitpid(child, nullptr, 0);
    }
    setenv("PARPORT", "sim", 0);
    run(program);
    std::fprintf(stderr, "simulador: no se pudo arrancar %s: %s. Compruebe que está instalado junto al simulador.\n",
                 program, std::strerror(errno));
    return 1;
}

}  // namespace simulador
