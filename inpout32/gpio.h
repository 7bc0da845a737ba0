// The GPIO backend's small pure parts: its setting read, and the request for
// its two lines built, with nothing asked of the kernel.
#pragma once

#include <linux/gpio.h>
#include <string>

namespace inpout {

// PARPORT=gpio:CHIP:STEP,DIRECTION, the part after "gpio:". The chip by its
// name, path or label; each line by its number on the chip (digits only) or
// its name. The two lines must differ.
struct GpioSetting {
    std::string chip, step, direction;
};
// Returns "" and fills `out`, or the message for the user.
std::string readGpioSetting(const std::string &setting, GpioSetting &out);

// A line given by its number: the number; -1 when it is a name.
long lineNumber(const std::string &line);

// Both lines as outputs that start low, as a port's lines are before the
// first write; named after `consumer` (the program), which is what gpioinfo
// shows as their holder and what a second program is told. Bit 0 of a write
// is the line requested first (step), bit 1 the second (direction).
gpio_v2_line_request lineRequest(__u32 step, __u32 direction, const char *consumer);

}  // namespace inpout
