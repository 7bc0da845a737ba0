#include "launch.h"
#include "motors.h"
#include "reason.h"
#include "owned.h"
#include "published.h"
#include "usage.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace simulador {

namespace {

// Whether no other viewer watches the area at `area`; this process then holds
// the lock.
bool watchAlone(const std::string &area)
{
    std::string why;
    owned::Fd lock = area.empty() ? owned::Fd() : published::openOwnFile(area + ".visor", true, why);
    if (!published::lockedByAnother(lock.get())) {
        // Held until the process ends: the viewer's, or the launcher's until it becomes the program.
        static owned::Fd held;
        held = std::move(lock);
        return true;
    }
    return false;
}

// Qt's only answer to a missing display is to abort.
bool hasDisplay(int argc, char **argv)
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char *value = std::getenv(name); value && *value)
            return true;
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "-platform") || !std::strcmp(argv[i], "--platform"))
            return true;
    return false;
}

// PROGRAMA as it lies beside this program (the build tree, or the installed
// programs), else as the PATH finds it; "" (errno set) when neither has it.
std::string find(const char *program)
{
    if (std::strchr(program, '/'))
        return access(program, X_OK) == 0 ? program : "";
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folders = n > 0 ? std::string(self, size_t(n)).substr(0, std::string(self, size_t(n)).rfind('/')) : "";
    if (const char *path = std::getenv("PATH"))
        folders += std::string(":") + path;
    int err = ENOENT;
    for (std::size_t at = 0; at <= folders.size();) {
        const std::size_t colon = std::min(folders.find(':', at), folders.size());
        const std::string candidate = folders.substr(at, colon - at) + "/" + program;
        if (colon > at && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon > at && errno == EACCES)
            err = EACCES;
        at = colon + 1;
    }
    errno = err;
    return {};
}

int cannotStart(const char *program, int err)
{
    std::fprintf(stderr,
                 "simulador: no se pudo arrancar «%s»: %s. Compruebe el nombre (vueltas o rotacion) y que el programa "
                 "está junto al simulador o en el PATH, y que se puede ejecutar.\n",
                 program, traffic::reason(err).c_str());
    return 1;
}

}  // namespace

std::string details()
{
    return "\nMotores de --motor: " + model::motorNames() + " (el primero, el de siempre),\n"
           "o un FICHERO.ini con las cifras del suyo. --analizar termina con 0 si el motor\n"
           "sigue la traza, 3 si pierde pasos, 1 si un fichero no se pudo leer (o el gráfico\n"
           "escribir) y 2 si los argumentos están mal.\n";
}

const char *unknownArgument(int argc, char **argv)
{
    // The viewer's own, and Qt's (with one or two dashes); those in the first row take a value.
    static const char *const withValue[] = {"con", "analizar", "motor", "grafico", "platform", "platformpluginpath",
                                            "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
                                            "qwindowtitle", "session", "style", "stylesheet", "display", "geometry",
                                            "title", "name", "qmljsdebugger"};
    static const char *const alone[] = {"help", "h", "version", "reverse", "widgetcount", "nograb", "dograb", "sync"};
    for (int i = 1; i < argc; ++i) {
        const char *name = argv[i];
        if (name[0] != '-' || !name[1])
            return argv[i];
        name += name[1] == '-' ? 2 : 1;
        const char *equals = std::strchr(name, '=');
        const std::string bare = equals ? std::string(name, size_t(equals - name)) : name;
        bool known = false, valued = false;
        for (const char *option : withValue)
            valued = valued || bare == option;
        for (const char *option : alone)
            known = known || (bare == option && !equals);
        if (valued && !equals && i + 1 < argc)
            ++i;  // its value, whatever it is
        else if (!known && !(valued && equals))
            return argv[i];
    }
    return nullptr;
}

ViewerPipes &viewerPipes()
{
    static ViewerPipes pipes;
    return pipes;
}

int launch(int argc, char **argv)
{
    const char *unknown = unknownArgument(argc, argv);
    const char *program = nullptr;
    bool analysisOnly = false;  // an option of --analizar's without it, which would have taken it
    for (int i = 1; i < argc && !unknown; ++i) {
        if (!std::strcmp(argv[i], "--con") && i + 1 < argc)
            program = argv[++i];
        else if (!std::strncmp(argv[i], "--con=", 6))
            program = argv[i] + 6;
        else if (!std::strncmp(argv[i], "--motor", 7) || !std::strncmp(argv[i], "--grafico", 9))
            unknown = argv[i], analysisOnly = true;
    }
    if (unknown || (program && !*program)) {
        std::fprintf(stderr, "simulador: no se entiende «%s»%s.\n\n%s", unknown ? unknown : "--con=",
                     analysisOnly ? " sin --analizar" : "", helpText("simulador", details()).c_str());
        return 2;
    }
    if (!hasDisplay(argc, argv)) {
        std::fprintf(stderr, "simulador: no hay pantalla (DISPLAY y WAYLAND_DISPLAY vacías): arránquelo en una sesión "
                             "gráfica, o con ssh -X.\n");
        return 1;
    }
    std::string path;
    if (program && (path = find(program)).empty())
        return cannotStart(program, errno);
    const std::string area = published::areaFrom(std::getenv("PARPORT_PUBLISH"));
    const bool alone = watchAlone(area);
    if (!program)
        return -1;
    // The viewer opens first and the program once the viewer's window is on the screen, so that a window manager
    // places the program's window in the room left beside the viewer (openbox, for one, puts a new window where
    // it covers least; a program placed first would be covered by the viewer). The viewer then hears whether the
    // program started: the end of `started` closes by itself when PROGRAMA takes this process's place, or a byte
    // comes when it could not, and the viewer then leaves with it.
    int started[2] = {-1, -1}, shown[2] = {-1, -1};
    owned::Fd told, seen;
    if (alone && !area.empty() && pipe2(started, O_CLOEXEC) == 0) {  // with publishing off a viewer would show nothing
        owned::Fd heard(started[0]);
        told = owned::Fd(started[1]);
        owned::Fd onScreen(pipe2(shown, O_CLOEXEC) == 0 ? shown[1] : -1);
        seen = owned::Fd(shown[0]);
        // The viewer in a session of its own, reparented at once: it stays open
        // after the program ends (a capture can still be saved), and a Ctrl+C
        // meant for the program does not close it.
        const pid_t child = fork();
        if (child == 0) {
            told.closeCopy();
            seen.closeCopy();
            if (fork() != 0)
                _exit(0);
            setsid();
            // Nor does it hold the caller's pipes open (x=$(simulador --con …), ./run.sh | tee): its
            // input and output go nowhere, and its errors to a terminal only.
            const owned::Fd nowhere(open("/dev/null", O_RDWR | O_CLOEXEC));
            for (int fd = 0; nowhere && fd <= 2; ++fd)
                if (fd < 2 || !isatty(fd))
                    dup2(nowhere.get(), fd);
            viewerPipes() = {std::move(heard), std::move(onScreen)};
            return -1;
        }
        onScreen.closeCopy();
        if (child > 0)
            waitpid(child, nullptr, 0);
        // Until the viewer is on the screen, or has ended (its end of the pipe closed), or a few seconds on.
        pollfd viewer{seen.get(), POLLIN, 0};
        while (child > 0 && seen && poll(&viewer, 1, 5000) < 0 && errno == EINTR) {
        }
    }
    if (const char *parport = std::getenv("PARPORT"); !parport || !*parport)
        setenv("PARPORT", "sim", 1);
    execl(path.c_str(), program, static_cast<char *>(nullptr));
    const int err = errno;
    if (told)
        (void)!write(told.get(), "x", 1);
    return cannotStart(program, err);
}

}  // namespace simulador
