// ppdev: the kernel's user-space parallel port driver. Needs no root, only
// read-write access to /dev/parportN (the lp group on Debian).
#include "backend.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

namespace inpout {
namespace {

// The device of the port whose base address is `address`. Cards on PCI or
// PCIe sit at other bases than 888, so the kernel's own list decides; when no
// port claims the address, the first port stands in for it.
std::string deviceFor(unsigned short address)
{
    for (const KernelPort &port : kernelPorts())
        if (port.base == address)
            return "/dev/parport" + std::to_string(port.number);
    return "/dev/parport0";
}

std::string fail(PortState &port, const char *what, int err, bool claimed)
{
    if (claimed)
        sys().ioctl(port.fd.get(), PPRELEASE, nullptr);  // the claim's error is the one to report
    port.fd.reset();
    return ioctlFailure(what, port.device, err);
}

std::string openPpdev(PortState &port, const std::string &device, unsigned short address)
{
    port.device = device.empty() ? deviceFor(address) : device;
    port.base = address;
    // Not a terminal of a device named by a slip; nor left to a program this one starts.
    port.fd = deviceFd(sys().open(port.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!port.fd)
        return openFailure(port.device, errno);
    // Exclusive: a second program (or lp) holding the port makes the claim
    // fail at once, where a shared claim would wait for a release that never
    // comes, and hold up the first program's writes meanwhile.
    if (sys().ioctl(port.fd.get(), PPEXCL, nullptr) < 0)
        return fail(port, "PPEXCL", errno, false);
    if (sys().ioctl(port.fd.get(), PPCLAIM, nullptr) < 0)
        return fail(port, "PPCLAIM", errno, false);
    // Some firmware leaves the port in reverse (input) mode, where the data
    // lines float; the motor needs them driven.
    int forward = 0;
    if (sys().ioctl(port.fd.get(), PPDATADIR, &forward) < 0)
        return fail(port, "PPDATADIR", errno, true);
    return {};
}

std::string writePpdev(PortState &port, unsigned short address, unsigned char value)
{
    if (address != port.base)
        return "El puerto paralelo " + port.device + " se abrió para la dirección " +
               std::to_string(port.base) + " y sólo escribe en su registro de datos; la dirección " +
               std::to_string(address) + " no es ese registro.";
    if (sys().ioctl(port.fd.get(), PPWDATA, &value) < 0)
        return ioctlFailure("PPWDATA", port.device, errno);
    port.last = value;
    return {};
}

std::string closePpdev(PortState &port)
{
    std::string message;
    if (sys().ioctl(port.fd.get(), PPRELEASE, nullptr) < 0)
        message = ioctlFailure("PPRELEASE", port.device, errno);
    if (port.fd.reset() < 0 && message.empty())
        message = "No se pudo cerrar el puerto paralelo " + port.device + ": " + reason(errno) + ".";
    return message;
}

}  // namespace

const Backend ppdevBackend = {"ppdev", openPpdev, writePpdev, closePpdev};

}  // namespace inpout
