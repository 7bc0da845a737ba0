// GPIO lines of a Linux board (a Raspberry Pi's header, say) through the
// kernel's GPIO character device, version 2 of its interface (Linux 5.10 on).
// Bit 0 of each write goes to the step line, bit 1 to the direction line.
// Spoken to directly: libgpiod's interface changed between Debian 12 and 13,
// while the kernel's is the same on both, and three ioctls are all it takes.
#include "backend.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>

namespace inpout {
namespace {

constexpr unsigned short kAddress = 888;  // the programs' data register, the only one there is here

std::string badSetting(const std::string &setting)
{
    return "La variable PARPORT vale «gpio:" + setting + "», que no es una conexión GPIO válida. Use "
           "PARPORT=gpio:CHIP:PASO,DIRECCION, por ejemplo PARPORT=gpio:gpiochip0:17,27: el chip por su nombre, "
           "su ruta o su etiqueta, y dos líneas distintas por su número o su nombre (como GPIO17); "
           "«gpiodetect» y «gpioinfo» los muestran.";
}

std::string notTheDataRegister(unsigned short address)
{
    return "La salida GPIO sólo hace de registro de datos del puerto, la dirección 888; la dirección " +
           std::to_string(address) + " no lo es.";
}

std::string noAccess(const std::string &chip, int err)
{
    return "No se pudo abrir el chip GPIO " + chip + ": " + reason(err) + ". Añada su usuario al grupo gpio con "
           "«sudo adduser $USER gpio» y vuelva a iniciar la sesión (así en Raspberry Pi OS); donde no exista, "
           "cree el grupo y una regla de udev que le dé los chips: SUBSYSTEM==\"gpio\", KERNEL==\"gpiochip*\", "
           "GROUP=\"gpio\", MODE=\"0660\". No hace falta ser root.";
}

std::string failure(const char *what, const std::string &chip, int err)
{
    if (err == ENOTTY || err == EINVAL)
        return "El chip GPIO " + chip + " no acepta la orden " + what + " (" + reason(err) + "): este núcleo no "
               "tiene la interfaz v2 de GPIO, que llegó con Linux 5.10. Actualice el núcleo, o use PARPORT=sim.";
    return "Falló la orden " + std::string(what) + " en el chip GPIO " + chip + ": " + reason(err) +
           ". Compruebe el chip y sus líneas, o use PARPORT=sim.";
}

// Opens a chip and reads its name, label and number of lines; the fd, or -1 with errno set.
int openChip(const std::string &path, gpiochip_info &info)
{
    const int fd = sys().open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 && sys().ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) {
        const int err = errno;
        sys().close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// The chip by path, by name under /dev, or by label among the chips there are.
std::string findChip(const std::string &chip, std::string &path, int &fd, gpiochip_info &info)
{
    const bool named = chip.find('/') == std::string::npos;
    path = named ? "/dev/" + chip : chip;
    if (!named || sys().exists(path.c_str()))
        fd = openChip(path, info);
    else
        for (int n = 0; n < 64 && fd < 0; ++n) {
            const std::string candidate = "/dev/gpiochip" + std::to_string(n);
            if (!sys().exists(candidate.c_str()))
                continue;
            const int one = openChip(candidate, info);
            if (one < 0 && (errno == EACCES || errno == EPERM))  // its label can't be read: say what to do about that
                return noAccess(candidate, errno);
            if (one >= 0 && chip == info.label)
                fd = one, path = candidate;
            else if (one >= 0)
                sys().close(one);
            else
                errno = ENOENT;
        }
    if (fd >= 0)
        return {};
    if (errno == EACCES || errno == EPERM)
        return noAccess(path, errno);
    if (errno == ENOENT || errno == ENODEV || errno == ENXIO || (named && !sys().exists(path.c_str())))
        return "No hay ningún chip GPIO «" + chip + "» (" + path + ": " + reason(ENOENT) +
               "): ni con ese nombre en /dev ni con esa etiqueta. Compruebe PARPORT; «gpiodetect» (o ls /dev/gpiochip*) "
               "muestra los chips y sus etiquetas.";
    if (errno == ENOTTY || errno == EINVAL)  // every GPIO chip has answered this since Linux 4.8
        return path + " no es un chip GPIO (" + reason(errno) + "). Indique en PARPORT un chip, como gpiochip0; "
               "«gpiodetect» los muestra.";
    return failure("GPIO_GET_CHIPINFO_IOCTL", path, errno);
}

// A line by its offset, or by its name among the chip's lines.
std::string findLine(const std::string &line, int fd, const std::string &path, const gpiochip_info &info, __u32 &offset)
{
    const std::string chip = path + " (" + info.label + ")";
    if (line.find_first_not_of("0123456789") == std::string::npos && line.size() < 4)
        offset = __u32(std::atoi(line.c_str()));
    else
        for (offset = 0; offset < info.lines; ++offset) {
            gpio_v2_line_info about{};
            about.offset = offset;
            if (sys().ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &about) < 0)
                return failure("GPIO_V2_GET_LINEINFO_IOCTL", chip, errno);
            if (line == about.name)
                break;
        }
    if (offset < info.lines)
        return {};
    return "El chip GPIO " + chip + " no tiene la línea «" + line + "»: sus líneas van de 0 a " +
           std::to_string(info.lines - 1) + ". Indique cada línea por su número o su nombre; «gpioinfo " +
           info.name + "» los muestra.";
}

// Who holds a line the kernel would not give: the consumer it names.
std::string holder(int fd, const __u32 *offsets)
{
    for (__u32 offset : {offsets[0], offsets[1]}) {
        gpio_v2_line_info about{};
        about.offset = offset;
        if (sys().ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &about) == 0 && (about.flags & GPIO_V2_LINE_FLAG_USED) && *about.consumer)
            return "«" + std::string(about.consumer, strnlen(about.consumer, sizeof about.consumer)) + "»";
    }
    return "otro programa";
}

std::string openGpio(PortState &port, const std::string &setting, unsigned short address)
{
    port.base = kAddress;
    const size_t colon = setting.rfind(':'), comma = setting.find(',', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || colon == 0 || comma == std::string::npos || comma == colon + 1 ||
        comma + 1 == setting.size() || setting.find(',', comma + 1) != std::string::npos ||
        setting.substr(colon + 1, comma - colon - 1) == setting.substr(comma + 1))
        return badSetting(setting);
    if (address != kAddress)
        return notTheDataRegister(address);
    gpiochip_info info{};
    gpio_v2_line_request request{};
    std::string path;
    port.fd = -1;
    std::string message = findChip(setting.substr(0, colon), path, port.fd, info);
    port.device = "chip GPIO " + path;
    for (int i = 0; i < 2 && message.empty(); ++i)
        message = findLine(i ? setting.substr(comma + 1) : setting.substr(colon + 1, comma - colon - 1), port.fd, path,
                           info, request.offsets[i]);
    if (message.empty()) {
        // Both as outputs that start low, as a port's lines are before the first write; named after the program,
        // which is what gpioinfo shows as their holder, and what a second program is told.
        request.num_lines = 2;
        std::strncpy(request.consumer, program_invocation_short_name, sizeof request.consumer - 1);
        request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        request.config.num_attrs = 1;
        request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        request.config.attrs[0].mask = 3;
        port.device += " (" + std::string(info.label) + ", líneas " + std::to_string(request.offsets[0]) + " y " +
                       std::to_string(request.offsets[1]) + ")";
        if (sys().ioctl(port.fd, GPIO_V2_GET_LINE_IOCTL, &request) < 0)
            message = errno == EBUSY ? "Las líneas GPIO del " + port.device + " están ocupadas (" + reason(errno) +
                                           "): las tiene " + holder(port.fd, request.offsets) +
                                           ". Cierre ese programa y vuelva a intentarlo; cada línea admite un "
                                           "programa a la vez."
                                     : failure("GPIO_V2_GET_LINE_IOCTL", port.device, errno);
    }
    // The lines live on in their own descriptor; the chip's is no longer needed.
    if (port.fd >= 0)
        sys().close(port.fd);
    port.fd = message.empty() ? request.fd : -1;
    return message;
}

// Bit i of the values is the line requested i-th: step, then direction, as in the port's data register.
std::string setLines(PortState &port, __u64 mask, unsigned char value)
{
    gpio_v2_line_values values{value & mask, mask};
    if (sys().ioctl(port.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0)
        return failure("GPIO_V2_LINE_SET_VALUES_IOCTL", port.device, errno);
    return {};
}

std::string writeGpio(PortState &port, unsigned short address, unsigned char value)
{
    if (address != kAddress)
        return notTheDataRegister(address);
    // A controller may set two lines one after the other, and a step edge seen before its direction
    // moves the motor the wrong way: the direction is settled first.
    const unsigned char changed = (value ^ port.last) & 3;
    std::string message = changed & 2 ? setLines(port, 2, value) : "";
    if (message.empty() && (changed & 1))
        message = setLines(port, 1, value);
    if (message.empty())
        port.last = value;
    return message;
}

std::string closeGpio(PortState &port)
{
    std::string message;
    if (port.fd >= 0 && sys().close(port.fd) < 0)
        message = "No se pudieron soltar las líneas del " + port.device + ": " + reason(errno) + ".";
    port.fd = -1;
    return message;
}

}  // namespace

const Backend gpioBackend = {"gpio", openGpio, writeGpio, closeGpio};

}  // namespace inpout
