// The dispatch layer: Out32 itself. It opens the port at the first write,
// checks the state once for every backend, and keeps the trace.
#include "inpout32.h"
#include "backend.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#define INPOUT_API extern "C" __attribute__((visibility("default")))

namespace inpout {

std::string chooseBackend(const char *setting, const Backend *&backend, std::string &device)
{
    const std::string value = setting ? setting : "";
    device.clear();
    if (value.empty()) {
        backend = &ppdevBackend;
    } else if (value.rfind("/dev/", 0) == 0) {
        backend = &ppdevBackend;
        device = value;
    } else if (value == "io") {
        backend = &directBackend;
    } else if (value == "sim") {
        backend = &simBackend;
    } else {
        return "La variable PARPORT vale «" + value + "», que la biblioteca del puerto no entiende. "
               "Use PARPORT=sim (puerto simulado, sin hardware), PARPORT=/dev/parportN (un puerto "
               "concreto) o PARPORT=io (E/S directa), o déjela sin definir (el primer puerto paralelo).";
    }
    return {};
}

namespace {

enum class State { Closed, Open, Failed };

struct Library {
    State state = State::Closed;
    const Backend *backend = nullptr;
    PortState port;
    int trace = -1;
    std::string traceName;
    std::string error;  // why the port could not open, or why the last write failed
    bool lastFailed = false;
};

// Never destroyed: the port is closed at exit by closeAtExit(), which may run
// after the program's own static objects are gone.
Library &lib = *new Library;

std::string openTrace()
{
    const char *path = std::getenv("PARPORT_TRACE");
    if (!path || !*path)
        return {};
    lib.traceName = path;
    lib.trace = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (lib.trace < 0)
        return "No se pudo abrir el fichero de traza " + lib.traceName + " (PARPORT_TRACE): " +
               reason(errno) + ". Indique un fichero en una carpeta donde pueda escribir, o quite PARPORT_TRACE.";
    return {};
}

void closeTrace()
{
    if (lib.trace >= 0)
        ::close(lib.trace);
    lib.trace = -1;
}

// One line per write, "<t> <address> <value>\n", handed to the kernel before
// Out32 returns so that a killed program loses none of it.
std::string traceWrite(unsigned short address, short value)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%lld %u %d\n",
                                     static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                                     address, value);
    for (int done = 0; done < length;) {
        const ssize_t n = ::write(lib.trace, line + done, static_cast<size_t>(length - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "No se pudo escribir en el fichero de traza " + lib.traceName + ": " +
                   reason(n < 0 ? errno : EIO) + ". Libere espacio en el disco, o quite PARPORT_TRACE.";
        done += static_cast<int>(n);
    }
    return {};
}

std::string open(unsigned short address)
{
    const Backend *backend = nullptr;
    std::string device;
    std::string message = chooseBackend(std::getenv("PARPORT"), backend, device);
    if (message.empty())
        message = openTrace();
    if (message.empty())
        message = backend->open(lib.port, device, address);
    if (!message.empty()) {
        closeTrace();
        return message;
    }
    lib.backend = backend;
    return {};
}

}  // namespace

void reset()
{
    if (lib.state == State::Open) {
        const std::string message = lib.backend->close(lib.port);
        if (!message.empty())  // nobody is left to ask at exit
            std::fprintf(stderr, "%s\n", message.c_str());
    }
    closeTrace();
    lib = Library();
}

const PortState *openPort() { return lib.state == State::Open ? &lib.port : nullptr; }

}  // namespace inpout

INPOUT_API void Out32(short address, short value)
{
    using namespace inpout;
    lib.lastFailed = false;
    if (lib.state == State::Closed) {
        lib.error = open(static_cast<unsigned short>(address));
        lib.state = lib.error.empty() ? State::Open : State::Failed;
    }
    if (lib.state == State::Failed) {
        lib.lastFailed = true;
        return;
    }
    std::string message = lib.backend->write(lib.port, static_cast<unsigned short>(address),
                                              static_cast<unsigned char>(value));
    if (message.empty() && lib.trace >= 0)
        message = traceWrite(static_cast<unsigned short>(address), value);
    if (!message.empty()) {
        lib.error = message;
        lib.lastFailed = true;
    }
}

INPOUT_API const char *Out32Error(void)
{
    return inpout::lib.lastFailed ? inpout::lib.error.c_str() : nullptr;
}

// The port is released when the program ends, however it ends.
__attribute__((destructor)) static void closeAtExit() { inpout::reset(); }
