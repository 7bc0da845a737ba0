#include "vcd.h"
#include "decimal.h"

#include <cstring>

namespace vcd {

namespace {

constexpr char kIdentifier[2] = {'!', '"'};

}  // namespace

std::string header(const char *date, const char *version)
{
    return std::string("$date\n\t") + date + "\n$end\n$version\n\tlibinpout32 " + version +
           "\n$end\n"
           "$timescale 1 ns $end\n"
           "$scope module puerto $end\n"
           "$var wire 1 ! " + kPulseWire + " $end\n"
           "$var wire 1 \" " + kDirectionWire + " $end\n"
           "$upscope $end\n"
           "$enddefinitions $end\n";
}

std::size_t write(char *out, Lines &lines, unsigned long long time, int value)
{
    value &= 3;
    const bool first = lines.value < 0;
    const int changed = first ? 3 : value ^ lines.value;
    if (!changed)
        return 0;
    if (!first && time <= lines.time)
        time = lines.time + 1;
    char digits[20];
    char *const end = digits + sizeof digits;
    char *const digit = traffic::decimal(end, time);
    char *at = out;
    *at++ = '#';
    std::memcpy(at, digit, static_cast<std::size_t>(end - digit));
    at += end - digit;
    *at++ = '\n';
    for (int bit = 0; bit < 2; ++bit) {
        if (changed >> bit & 1) {
            *at++ = static_cast<char>('0' + (value >> bit & 1));
            *at++ = kIdentifier[bit];
            *at++ = '\n';
        }
    }
    lines = {value, time};
    return static_cast<std::size_t>(at - out);
}

}  // namespace vcd
