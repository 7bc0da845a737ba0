// The words of the failures that several parts of the port library share:
// the system's reason for an errno, a port that can't be opened, a refused
// ioctl, a busy port, and a warning on standard error. Each backend and the
// trace word their own other failures, where they happen.
#include "backend.h"
#include "reason.h"
#include "where.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <sys/utsname.h>

namespace inpout {

std::string reason(int err) { return traffic::reason(err); }

static const char kSimulated[] =
    "si este ordenador no tiene puerto paralelo, ejecute con PARPORT=sim para usar el puerto simulado";

namespace {

// What the kernel shows of parallel ports, which decides what a person at a
// machine whose port can't be opened is told to do first.
enum class Ports { Some, NoneFound, NotLoaded };

Ports portsShown()
{
    if (!kernelPorts().empty())
        return Ports::Some;
    // The driver is there and found nothing, or the kernel has no driver to
    // load: either way this machine has no port.
    utsname system;
    if (sys().exists("/sys/module/parport_pc") || uname(&system) < 0 ||
        !sys().exists((std::string("/lib/modules/") + system.release + "/kernel/drivers/parport").c_str()))
        return Ports::NoneFound;
    return Ports::NotLoaded;
}

// The no-hardware way, as the person started the program: from the menu or a
// terminal, once installed; from the build tree, by its path there.
std::string withoutHardware()
{
    std::string program = program_invocation_short_name;
    if (!buildTree().empty())
        return "Sin hardware, el motor se ve girar en el puerto simulado: «" + viewerCommand(program) +
               "», que abre también el simulador de la placa para verlo (o «PARPORT=sim " +
               quoted(buildTree() + "/bin/" + program) + "» a solas).";
    std::string action = program;
    action[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(action[0])));
    return "Sin hardware, el motor se ve girar en el puerto simulado: en el menú de aplicaciones, «" + action +
           " con el puerto simulado (sin hardware)»; en una terminal, «" + viewerCommand(program) +
           "», que abre también el simulador de la placa para verlo (o «PARPORT=sim " + program + "» a solas).";
}

}  // namespace

void warn(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
}

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
    {
        const Ports ports = portsShown();
        if (ports == Ports::NoneFound)
            return "Este ordenador no tiene puerto paralelo: el núcleo no muestra ninguno (" + device + ": " +
                   reason(err) + "). " + withoutHardware();
        if (ports == Ports::NotLoaded)
            return head + "Cargue los módulos del puerto con «sudo modprobe parport_pc ppdev» y vuelva a intentarlo; "
                          "si aun así no hay puerto, este ordenador no tiene ninguno. " + withoutHardware();
        if (sys().exists("/sys/module/ppdev"))
            return head + (std::getenv("PARPORT")
                               ? "El núcleo tiene puertos paralelos, pero no ese: compruebe PARPORT (/dev/parport0 es "
                                 "el primero), o déjela sin definir."
                               : "El núcleo tiene puertos paralelos, pero ninguno en la dirección 888 ni en "
                                 "/dev/parport0: indique el suyo con PARPORT=/dev/parportN (ls /dev/parport* los "
                                 "muestra).");
        return head + "El núcleo ve el puerto, pero falta su acceso sin root: cárguelo con «sudo modprobe ppdev» "
                      "(y añada ppdev a /etc/modules para que se cargue siempre).";
    }
    case EACCES:
    case EPERM:
    {
        // The group that may use the device: lp for a port, another for what was named by mistake.
        struct stat status;
        const group *owner = ::stat(device.c_str(), &status) == 0 ? getgrgid(status.st_gid) : nullptr;
        const std::string name = owner ? owner->gr_name : "lp";
        const std::string join = "Añada su usuario al grupo " + name + " con «sudo adduser $USER " + name +
                                 "» y vuelva a iniciar la sesión; no hace falta ser root.";
        if (name == "lp" || device.rfind("/dev/parport", 0) == 0)
            return head + join;
        return head + device + " es del grupo " + name + " y no parece un puerto paralelo: indique en PARPORT un "
                      "/dev/parportN (ls /dev/parport* los muestra), o deje PARPORT sin definir.";
    }
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
