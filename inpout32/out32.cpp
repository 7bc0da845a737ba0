// The dispatch layer: Out32 itself. It opens the port at the first write,
// checks the state once for every backend, and keeps the trace.
#include "inpout32.h"
#include "backend.h"
#include "mapped.h"
#include "pacing.h"
#include "published.h"
#include "trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <pthread.h>
#include <sys/stat.h>
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
    } else if (value.rfind("gpio:", 0) == 0) {
        backend = &gpioBackend;
        device = value.substr(5);  // CHIP:STEP,DIRECTION, read where the lines are requested
    } else if (value == "sim") {
        backend = &simBackend;
        device = published::simulatedPortLock(std::getenv("PARPORT_PUBLISH"));
    } else {
        return "La variable PARPORT vale «" + value + "», que la biblioteca del puerto no entiende. "
               "Use PARPORT=sim (puerto simulado, sin hardware), PARPORT=/dev/parportN (un puerto "
               "concreto), PARPORT=io (E/S directa) o PARPORT=gpio:gpiochip0:17,27 (dos líneas GPIO), o "
               "déjela sin definir (el primer puerto paralelo).";
    }
    return {};
}

namespace {

enum class State { Closed, Open, Failed };

struct Library {
    State state = State::Closed;
    const Backend *backend = nullptr;
    PortState port;
    Trace trace;
    published::Mapped area;  // where viewers see the writes; empty when not published
    std::string published;   // the file of that area
    int slot = -1;
    unsigned losses = 0;  // mappings lost when last looked: a change means one of ours may be
    pid_t opener = 0;     // the process that opened all this, and the only one to close it
    bool forked = false;  // this process is a child forked since: the trace is not its own
    traffic::Pacing pacing;           // PARPORT_SLOWDOWN and PARPORT_MAXRATE
    unsigned long long handed = 0;    // when the last write was handed to the backend, while paced
    unsigned long long returned = 0;  // and when it returned
    std::string error;  // why the port could not open, or why the last write failed
    bool lastFailed = false;
};

// Never destroyed: the port is closed at exit by closeAtExit(), which may run
// after the program's own static objects are gone.
Library &lib = *new Library;

// Writes are published for viewers unless PARPORT_PUBLISH=0. Failing to
// publish must not stop the motor: it is said on standard error, once.
void publishFrom(const std::string &where)
{
    lib.published = where;
    if (where.empty())
        return;
    std::string error;
    lib.area = published::mapArea(where, error);
    if (!lib.area) {
        warn(error);
        return;
    }
    lib.slot = published::attach(*lib.area, program_invocation_short_name);
}

// A mapping of ours lost its file (cut short by another program, see
// mapped.h): the trace looks at that itself; the area is said once and
// mapped again (made anew, or taken over where it was emptied), so that the
// viewers see this program again.
void afterLoss()
{
    lib.losses = mapped::losses();
    if (!lib.area || !published::gone(*lib.area))
        return;
    lib.area = {};
    warn("El área de publicación " + lib.published + " se acortó mientras se publicaba en ella (otro programa la "
         "vació o la truncó); se vuelve a abrir. El motor sigue.");
    publishFrom(lib.published);
    lib.losses = mapped::losses();
}

// The port's own files, which no trace may be written into: its area (the
// file mapped, and what the setting names), the simulated port's lock and
// the viewers' lock, here and at the default place.
std::vector<published::FileIdentity> portFiles(const std::string &area)
{
    std::vector<published::FileIdentity> files;
    if (lib.area)
        files.push_back(lib.area.identity());
    const std::string usual = published::areaFrom(nullptr);
    for (const std::string &path : {area, area + ".lock", area + ".visor", usual, usual + ".lock", usual + ".visor"}) {
        struct stat status;
        if (!path.empty() && stat(path.c_str(), &status) == 0)
            files.push_back(published::FileIdentity::of(status));
    }
    struct stat status;
    if (lib.port.fd && fstat(lib.port.fd.get(), &status) == 0)
        files.push_back(published::FileIdentity::of(status));
    return files;
}

// The trace, published area and port stay the parent's: a child forked from
// this process says so at its first write, and its writes go on to the port.
void forkedChild() { lib.forked = true; }

std::string afterFork()
{
    lib.forked = false;
    if (!lib.trace.isOpen())
        return {};
    lib.trace.leaveToParent();
    const std::string message =
        "Este proceso es una copia (fork) del que abrió el puerto (pid " + std::to_string(lib.opener) +
        "): sus escrituras llegan al puerto, pero no a la traza (PARPORT_TRACE), que es de aquel proceso y sigue sólo "
        "con las suyas. Para trazarlas, haga de esta parte un programa aparte (exec), que abre su propio puerto y su "
        "propia traza, o escriba en el puerto desde un solo proceso.";
    // A child that never reads Out32Error hears it where the trace's other troubles are said.
    warn(message);
    return message;
}

std::string open(unsigned short address)
{
    const Backend *backend = nullptr;
    std::string device;
    std::string message = chooseBackend(std::getenv("PARPORT"), backend, device);
    if (message.empty())
        message = traffic::readPacing(std::getenv("PARPORT_SLOWDOWN"), std::getenv("PARPORT_MAXRATE"), lib.pacing);
    // The port before the trace: a program turned away (a busy port) leaves
    // an earlier trace as it was.
    if (message.empty())
        message = backend->open(lib.port, device, address);
    if (!message.empty())
        return message;
    lib.backend = backend;
    lib.opener = getpid();
    lib.forked = false;  // opened here: this process's own, whatever it was forked from
    static const bool forks = pthread_atfork(nullptr, nullptr, forkedChild) == 0;
    (void)forks;
    // A store into a mapping whose file was cut short faults; with SIGBUS
    // blocked in this thread the kernel would end the program for it.
    const bool faultsCaught = mapped::faultsCanBeCaught();
    const char *trace = std::getenv("PARPORT_TRACE");
    const std::string area = published::areaFrom(std::getenv("PARPORT_PUBLISH"));
    if (!faultsCaught)
        warn("No se publica el puerto para el simulador ni se escribe su traza: el hilo que escribe en el puerto tiene "
             "bloqueada la señal SIGBUS, y un fichero proyectado que otro programa acortase terminaría el programa. "
             "El programa que usa la biblioteca debe dejar SIGBUS sin bloquear en ese hilo.");
    else
        publishFrom(area);
    if (faultsCaught && trace && *trace && !(message = lib.trace.open(trace, portFiles(area))).empty()) {
        if (!lib.trace.refused()) {
            reset();
            return message;
        }
        warn(message);
    }
    lib.losses = mapped::losses();
    return {};
}

}  // namespace

void reset()
{
    std::string messages[2];
    if (lib.backend)
        messages[0] = lib.backend->close(lib.port);
    messages[1] = lib.trace.close();
    if (lib.area) {
        published::detach(*lib.area, lib.slot);
        lib.area = {};
    }
    for (const std::string &message : messages)
        if (!message.empty())  // nobody is left to ask at exit
            std::fprintf(stderr, "%s\n", message.c_str());
    // Everything but the trace, closed above, back as before the first write.
    lib.state = State::Closed;
    lib.backend = nullptr;
    lib.port.fd.reset();
    lib.port = PortState();
    lib.area = {};
    lib.published.clear();
    lib.slot = -1;
    lib.opener = 0;
    lib.forked = false;
    lib.pacing = {};
    lib.handed = lib.returned = 0;
    lib.error.clear();
    lib.lastFailed = false;
}

const PortState *openPort() { return lib.state == State::Open ? &lib.port : nullptr; }

}  // namespace inpout

// Waits, spinning on the clock so that pulses stay even, until the gap since
// the last write returned is `slowdown` times as long as the program made it,
// and half a pulse at the rate asked has passed since that write was handed
// to the backend: the longer of the two. Then notes when this one is handed.
static void pace()
{
    using namespace inpout;
    if (lib.returned != 0) {
        const unsigned long long stretched =
            lib.returned + traffic::stretchedGap(sys().now() - lib.returned, lib.pacing.slowdown);
        const unsigned long long until = std::max(stretched, lib.handed + lib.pacing.shortestGap());
        while (sys().now() < until) {
        }
    }
    lib.handed = sys().now();
}

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
    std::string message;
    if (lib.forked)
        message = afterFork();
    if (lib.pacing.slowed())
        pace();
    std::string failed = lib.backend->write(lib.port, static_cast<unsigned short>(address),
                                             static_cast<unsigned char>(value));
    if (failed.empty() && (lib.trace.isOpen() || lib.area)) {
        const unsigned long long time = sys().now();
        if (lib.area)
            published::publish(*lib.area, time, static_cast<unsigned short>(address), value);
        // The write reached the port; a trace that could not take its line
        // says so here, once, and stops. Later writes go on to the port and
        // the viewers, above all the 0 a program writes as it ends.
        if (lib.trace.isOpen())
            failed = lib.trace.write(time, static_cast<unsigned short>(address), value);
        if (mapped::losses() != lib.losses)
            afterLoss();
    }
    if (lib.pacing.slowed())
        lib.returned = sys().now();
    if (!failed.empty() || !message.empty()) {
        lib.error = failed.empty() ? message : failed;
        lib.lastFailed = true;
    }
}

INPOUT_API const char *Out32Error(void)
{
    return inpout::lib.lastFailed ? inpout::lib.error.c_str() : nullptr;
}

// The port is released when the program ends, however it ends; but only by
// the process that opened it. A forked child that ends through exit() would
// otherwise release its parent's claim and cut its parent's trace.
__attribute__((destructor)) static void closeAtExit()
{
    if (inpout::lib.opener == getpid())
        inpout::reset();
}
