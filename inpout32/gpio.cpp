// GPIO lines of a Linux board (a Raspberry Pi's header, say) through the
// kernel's GPIO character device, version 2 of its interface (Linux 5.10 on).
// Bit 0 of each write goes to the step line, bit 1 to the direction line.
// Spoken to directly: libgpiod's interface changed between Debian 12 and 13,
// while the kernel's is the same on both, and three ioctls are all it takes.
#include "backend.h"
#include "gpio.h"

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

}  // namespace

std::string readGpioSetting(const std::string &setting, GpioSetting &out)
{
    const size_t colon = setting.rfind(':'), comma = setting.find(',', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || colon == 0 || comma == std::string::npos || comma == colon + 1 ||
        comma + 1 == setting.size() || setting.find(',', comma + 1) != std::string::npos)
        return badSetting(setting);
    out = {setting.substr(0, colon), setting.substr(colon + 1, comma - colon - 1), setting.substr(comma + 1)};
    const long step = lineNumber(out.step), direction = lineNumber(out.direction);
    if (out.step == out.direction || (step >= 0 && step == direction))
        return badSetting(setting);
    return {};
}

long lineNumber(const std::string &line)
{
    if (line.empty() || line.size() > 9 || line.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stol(line);
}

gpio_v2_line_request lineRequest(__u32 step, __u32 direction, const char *consumer)
{
    gpio_v2_line_request request{};
    request.offsets[0] = step;
    request.offsets[1] = direction;
    request.num_lines = 2;
    std::strncpy(request.consumer, consumer, sizeof request.consumer - 1);
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    request.config.num_attrs = 1;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    request.config.attrs[0].attr.values = 0;
    request.config.attrs[0].mask = 3;
    return request;
}

namespace {

// Opens a chip and reads its name, label and number of lines; an empty owner
// (errno set) when it can't. Whatever is open is first checked to be a GPIO
// chip: an ioctl of GPIO's is never sent to another kind of device.
owned::Fd openChip(const std::string &path, gpiochip_info &info)
{
    owned::Fd fd = deviceFd(sys().open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (fd && sys().subsystem(fd.get()) != "gpio") {
        fd.reset();
        errno = ENOTTY;
    }
    if (fd && sys().ioctl(fd.get(), GPIO_GET_CHIPINFO_IOCTL, &info) < 0) {
        const int err = errno;
        fd.reset();
        errno = err;
    }
    return fd;
}

// The chip by path, by name under /dev, or by label among the chips there are.
std::string findChip(const std::string &chip, std::string &path, owned::Fd &fd, gpiochip_info &info)
{
    const bool named = chip.find('/') == std::string::npos;
    path = named ? "/dev/" + chip : chip;
    if (!named || sys().exists(path.c_str()))
        fd = openChip(path, info);
    else
        for (int n = 0; n < 64 && !fd; ++n) {
            const std::string candidate = "/dev/gpiochip" + std::to_string(n);
            if (!sys().exists(candidate.c_str()))
                continue;
            owned::Fd one = openChip(candidate, info);
            if (!one && (errno == EACCES || errno == EPERM))  // its label can't be read: say what to do about that
                return noAccess(candidate, errno);
            if (one && chip == info.label)
                fd = std::move(one), path = candidate;
            else if (!one)
                errno = ENOENT;
        }
    if (fd)
        return {};
    if (errno == EACCES || errno == EPERM)
        return noAccess(path, errno);
    if (errno == ENOENT || errno == ENODEV || errno == ENXIO || (named && !sys().exists(path.c_str())))
        return "No hay ningún chip GPIO «" + chip + "» (" + path + ": " + reason(ENOENT) +
               "): ni con ese nombre en /dev ni con esa etiqueta. Compruebe PARPORT; «gpiodetect» (o "
               "ls /dev/gpiochip*) muestra los chips y sus etiquetas.";
    if (errno == ENOTTY || errno == EINVAL)
        return path + " no es un chip GPIO. Indique en PARPORT un chip, como gpiochip0; «gpiodetect» los muestra.";
    return failure("GPIO_GET_CHIPINFO_IOCTL", path, errno);
}

// A line by its offset, or by its name among the chip's lines.
std::string findLine(const std::string &line, int fd, const std::string &path, const gpiochip_info &info,
                     __u32 &offset)
{
    const std::string chip = path + " (" + info.label + ")";
    const long number = lineNumber(line);
    if (number >= 0)
        offset = number < long(info.lines) ? __u32(number) : info.lines;
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
        if (sys().ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &about) == 0 && (about.flags & GPIO_V2_LINE_FLAG_USED) &&
            *about.consumer)
            return "«" + std::string(about.consumer, strnlen(about.consumer, sizeof about.consumer)) + "»";
    }
    return "otro programa";
}

std::string openGpio(PortState &port, const std::string &setting, unsigned short address)
{
    port.base = kAddress;
    GpioSetting wanted;
    if (std::string message = readGpioSetting(setting, wanted); !message.empty())
        return message;
    if (address != kAddress)
        return notTheDataRegister(address);
    gpiochip_info info{};
    std::string path;
    owned::Fd chip;
    std::string message = findChip(wanted.chip, path, chip, info);
    port.device = "chip GPIO " + path;
    __u32 offsets[2] = {0, 0};
    for (int i = 0; i < 2 && message.empty(); ++i)
        message = findLine(i ? wanted.direction : wanted.step, chip.get(), path, info, offsets[i]);
    if (message.empty() && offsets[0] == offsets[1])
        message = badSetting(setting);  // one line by its number and by its name
    if (!message.empty())
        return message;
    gpio_v2_line_request request = lineRequest(offsets[0], offsets[1], program_invocation_short_name);
    port.device += " (" + std::string(info.label) + ", líneas " + std::to_string(offsets[0]) + " y " +
                   std::to_string(offsets[1]) + ")";
    if (sys().ioctl(chip.get(), GPIO_V2_GET_LINE_IOCTL, &request) < 0)
        return errno == EBUSY ? "Las líneas GPIO del " + port.device + " están ocupadas (" + reason(errno) +
                                    "): las tiene " + holder(chip.get(), request.offsets) +
                                    ". Cierre ese programa y vuelva a intentarlo; cada línea admite un "
                                    "programa a la vez."
                              : failure("GPIO_V2_GET_LINE_IOCTL", port.device, errno);
    // The lines live on in their own descriptor; the chip's goes with its owner here.
    port.fd = deviceFd(request.fd);
    return {};
}

// Bit i of the values is the line requested i-th: step, then direction, as in the port's data register.
std::string setLines(PortState &port, __u64 mask, unsigned char value)
{
    gpio_v2_line_values values{value & mask, mask};
    if (sys().ioctl(port.fd.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0)
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
    if (port.fd.reset() < 0)
        return "No se pudieron soltar las líneas del " + port.device + ": " + reason(errno) + ".";
    return {};
}

}  // namespace

const Backend gpioBackend = {"gpio", openGpio, writeGpio, closeGpio};

}  // namespace inpout
