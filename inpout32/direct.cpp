// Direct port I/O with ioperm/outb: x86 only, and only for root or a process
// with CAP_SYS_RAWIO. For the rare board that ppdev can't reach.
#include "backend.h"

#include <cerrno>
#include <cstdio>

namespace inpout {
namespace {

constexpr unsigned long kRegisters = 3;  // data, status, control

std::string name(unsigned short address)
{
    char text[64];
    std::snprintf(text, sizeof text, "E/S directa en 0x%x (dirección %u)", address, address);
    return text;
}

std::string openDirect(PortState &port, const std::string &, unsigned short address)
{
    port.device = name(address);
    port.base = address;
    if (sys().ioperm(address, kRegisters, 1) == 0)
        return {};
    const int err = errno;
    const std::string head = "No se pudo obtener acceso directo al puerto " + port.device + ": " + reason(err) + ". ";
#if defined(__x86_64__) || defined(__i386__)
    if (err == ENOSYS)
        return head + "Este núcleo no da acceso directo a los puertos (una máquina virtual, o un núcleo compilado "
                      "sin él): use ppdev (deje PARPORT sin definir) o PARPORT=sim.";
#else
    if (err == ENOSYS)
        return head + "Este ordenador no es un PC x86: use ppdev (deje PARPORT sin definir) o PARPORT=sim.";
#endif
    if (err == EPERM || err == EACCES)
        return head + "PARPORT=io necesita root o la capacidad CAP_SYS_RAWIO, y el bloqueo del núcleo "
                      "(lockdown, activo con Secure Boot) lo prohíbe incluso así. Use ppdev, que no "
                      "necesita root: deje PARPORT sin definir y entre en el grupo lp.";
    return head + "Compruebe la dirección, o use ppdev (deje PARPORT sin definir).";
}

std::string writeDirect(PortState &port, unsigned short address, unsigned char value)
{
    if (address < port.base || address >= port.base + kRegisters)
        return "El acceso directo se concedió para los registros del puerto " + port.device +
               "; la dirección " + std::to_string(address) + " queda fuera de ellos.";
    sys().outb(value, address);
    port.last = value;
    return {};
}

std::string closeDirect(PortState &port)
{
    if (sys().ioperm(port.base, kRegisters, 0) < 0)
        return "No se pudo devolver el acceso directo al puerto " + port.device + ": " + reason(errno) + ".";
    return {};
}

}  // namespace

const Backend directBackend = {"io", openDirect, writeDirect, closeDirect};

}  // namespace inpout
