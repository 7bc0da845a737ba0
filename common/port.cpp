#include "port.h"
#include "ending.h"
#include "endingsignals.h"
#include "errors.h"
#include "motor.h"

#include <cstdio>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#include <vector>

namespace motor {

namespace {

constexpr char kLibrary[] = "libinpout32.so";

// The loader's reason for its last failure; it may have none to give.
std::string loaderReason()
{
    const char *reason = dlerror();
    return reason ? reason : "el cargador no dio el motivo";
}

// Opens the library by name the way the loader would for this program:
// LD_LIBRARY_PATH first (so a user can put in a library of their own), then the
// program's run path (the library built or installed beside it), then the
// system's folders. The folders are asked of the loader rather than left to a
// bare dlopen, whose search would use the run path of whoever made the call,
// and that is not always this program (sanitizers wrap dlopen).
void *openByName()
{
    void *self = dlopen(nullptr, RTLD_NOW);
    Dl_serinfo size;
    if (self && dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0) {
        std::vector<char> buffer(size.dls_size);
        auto *info = reinterpret_cast<Dl_serinfo *>(buffer.data());
        *info = size;
        if (dlinfo(self, RTLD_DI_SERINFO, info) == 0)
            for (unsigned i = 0; i < info->dls_cnt; ++i) {
                const std::string path = std::string(info->dls_serpath[i].dls_name) + "/" + kLibrary;
                if (access(path.c_str(), F_OK) == 0)
                    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            }
    }
    return dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);  // the loader's own words when it isn't there
}

}  // namespace

void ParallelPort::endBySignal(int signal)
{
    if (out32_)
        out32_(kPuerto, 0);
    // The library's own end closes the port and tidies its trace, as at exit.
    if (library_)
        dlclose(library_);
    std::fflush(nullptr);
    raiseWithDefault(signal);
    _exit(128 + signal);  // a signal whose default is to go on: end as it was asked
}

void ParallelPort::bind()
{
    void *library = openByName();
    if (!library)
        throw FatalError(std::string("No se pudo cargar la biblioteca del puerto ") + kLibrary + ": " +
                         loaderReason() + ". Vuelva a compilar o instalar el programa, o ponga la carpeta "
                                     "de su propia biblioteca en LD_LIBRARY_PATH.");
    std::string path = kLibrary;
    link_map *map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
        path = map->l_name;
    auto out32 = reinterpret_cast<void (*)(short, short)>(dlsym(library, "Out32"));
    if (!out32)
        throw FatalError("La biblioteca del puerto " + path + " no tiene la función Out32: " + loaderReason() +
                         ". No es una biblioteca de puerto válida; quítela de LD_LIBRARY_PATH.");
    // A library of someone else's may have no way to report failures.
    error_ = reinterpret_cast<const char *(*)()>(dlsym(library, "Out32Error"));
    out32_ = out32;
    library_ = library;
}

void ParallelPort::write(short address, short value)
{
    if (const int signal = endingSignal())
        endBySignal(signal);
    if (!out32_)
        bind();
    out32_(address, value);
    if (error_)
        if (const char *message = error_()) {
            const std::string failure = message;  // the library's text lasts until its next call
            // The program ends on this failure. When it is not the port's own,
            // the write reached the port: the lines go back to 0, as at any end
            // (after the port's own failure, one more try does no harm).
            if (value != 0)
                out32_(address, 0);
            throw FatalError(failure);
        }
}

}  // namespace motor
