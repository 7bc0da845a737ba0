#include "reason.h"

#include <cerrno>
#include <cstring>

namespace traffic {

namespace {

struct Known {
    int err;
    const char *text;
};

// Opening, reading, writing and mapping files and devices, asking a port or a
// GPIO chip for lines, starting a program.
constexpr Known kKnown[] = {
    {ENOENT, "no existe"},
    {ENOTDIR, "una parte de la ruta no es una carpeta"},
    {EISDIR, "es una carpeta"},
    {EACCES, "no tiene permiso"},
    {EPERM, "la operación no está permitida"},
    {EROFS, "el disco es de sólo lectura"},
    {ENOSPC, "no queda sitio en el disco"},
    {EDQUOT, "se llegó a la cuota de disco"},
    {EFBIG, "el fichero pasa del tamaño máximo permitido"},
    {EEXIST, "ya existe"},
    {ELOOP, "es un enlace simbólico, o hay demasiados enlaces encadenados"},
    {ENAMETOOLONG, "el nombre es demasiado largo"},
    {ENOTEMPTY, "la carpeta no está vacía"},
    {EXDEV, "está en otro sistema de ficheros"},
    {ETXTBSY, "el fichero está en uso como programa"},
    {ENOEXEC, "no es un programa que se pueda ejecutar"},
    {EBUSY, "el dispositivo está ocupado"},
    {ENODEV, "no hay tal dispositivo"},
    {ENXIO, "no hay tal dispositivo o dirección"},
    {ENOTTY, "el dispositivo no admite esa operación"},
    {EINVAL, "un argumento no es válido"},
    {EIO, "error de entrada/salida"},
    {EMFILE, "el proceso tiene demasiados ficheros abiertos"},
    {ENFILE, "el sistema tiene demasiados ficheros abiertos"},
    {ENOMEM, "no queda memoria"},
    {EAGAIN, "el recurso no está disponible ahora"},
    {EINTR, "una señal interrumpió la llamada"},
    {EBADF, "el descriptor de fichero no es válido"},
    {EPIPE, "la tubería se cerró al otro lado"},
    {EOPNOTSUPP, "la operación no se admite aquí"},
    {ENOSYS, "el núcleo no tiene esa función"},
    {ESTALE, "el fichero de red ya no es válido"},
    {ETIMEDOUT, "se agotó el tiempo de espera"},
    {ENOLCK, "no quedan cerrojos"},
};

}  // namespace

std::string reason(int err)
{
    for (const Known &known : kKnown)
        if (known.err == err)
            return known.text;
    char buffer[256];
    // GNU strerror_r returns the text: the system's own, as it has it.
    return "error " + std::to_string(err) + " (" + strerror_r(err, buffer, sizeof buffer) + ")";
}

}  // namespace traffic
