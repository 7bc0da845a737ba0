// Numbers in decimal for the traces, written and read by hand.
#pragma once

#include <cstddef>
#include <string_view>

namespace traffic {

// Writes `value` in decimal ending just before `end`; returns where it begins.
// snprintf would be the plain way, but it would make up most of a traced
// write's cost, and the trace has to stay cheap beside the shortest delays.
inline char *decimal(char *end, unsigned long long value)
{
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    return end;
}

// Reads the digits at `at` of `text` into `value`, moving `at` past them;
// false when there are none or the number overflows.
inline bool readDecimal(std::string_view text, std::size_t &at, unsigned long long &value)
{
    const std::size_t from = at;
    value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const unsigned digit = unsigned(text[at] - '0');
        if (value > (~0ULL - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return at > from;
}

}  // namespace traffic
