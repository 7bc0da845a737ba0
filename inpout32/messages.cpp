// Every failure of the port library, put into words once, here.
#include "backend.h"

#include <cerrno>
#include <cstring>

namespace inpout {

std::string reason(int err)
{
    char buffer[256];
    // GNU strerror_r: returns the text, in the user's language when the
    // program has set its locale.
    return strerror_r(err, buffer, sizeof buffer);
}

static const char kSimulated[] = "si este ordenador no tiene puerto paralelo, ejecute con PARPORT=sim para usar el puerto simulado";

std::string busy(const std::string &device, const std::string &holder, int err)
{
    if (!holder.empty())
        return "El " + device + " está ocupado (" + reason(err) + "): lo tiene " + holder +
               ". Cierre ese programa y vuelva a intentarlo; cada puerto admite un programa a la vez.";
    return "El puerto paralelo " + device + " está ocupado (" + reason(err) +
           "): lo tiene otro programa (vueltas o rotacion en otra ventana, u otro) o el controlador de "
           "impresora lp. Cierre ese programa; si es lp, descárguelo con «sudo rmmod lp» (y quite lp de "
           "/etc/modules). Luego vuelva a intentarlo.";
}

std::string openFailure(const std::string &device, int err)
{
    const std::string head = "No se pudo abrir el puerto paralelo " + device + ": " + reason(err) + ". ";
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return head + "Cargue los módulos del puerto con «sudo modprobe parport_pc ppdev»; " + kSimulated + ".";
    case EACCES:
    case EPERM:
        return head + "Añada su usuario al grupo lp con «sudo adduser $USER lp» y vuelva a "
                      "iniciar la sesión; no hace falta ser root.";
    case EBUSY:
        return busy(device, "", err);
    default:
        return head + "Compruebe el dispositivo, o " + kSimulated + ".";
    }
}

std::string ioctlFailure(const std::string &what, const std::string &device, int err)
{
    if (what == "PPCLAIM" && (err == EBUSY || err == ENXIO))
        return busy(device, "", err);
    if (err == ENOTTY || err == EINVAL)
        return "El dispositivo " + device + " no acepta la orden " + what + " (" + reason(err) +
               "): no parece un puerto paralelo de ppdev. Indique un /dev/parportN en PARPORT, o " +
               kSimulated + ".";
    return "Falló la orden " + what + " en el puerto paralelo " + device + ": " + reason(err) +
           ". Compruebe la tarjeta y sus conexiones, o " + kSimulated + ".";
}

}  // namespace inpout
