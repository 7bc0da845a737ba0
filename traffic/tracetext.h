// The library's text trace, both ways: a line "<t> <address> <value>\n" per
// write, all decimal, t in ns of CLOCK_MONOTONIC. The library writes it into
// its mapped file with no allocation and no system call; the viewer's
// analysis and the tests read it back by the same rules.
#pragma once

#include <cstddef>
#include <string_view>

namespace traffic {

// Room enough for any one line.
constexpr std::size_t kLineMax = 48;

// Writes the line of one write ending just before `end` (kLineMax bytes are
// enough); returns where it begins.
char *traceLine(char *end, unsigned long long time, unsigned short address, short value);

// One line read back.
struct TraceLine {
    unsigned long long time = 0;
    unsigned long long address = 0;
    long long value = 0;
};
// Reads `line` (without its newline; blanks around the figures allowed) as a
// write; false when it is not one.
bool readTraceLine(std::string_view line, TraceLine &out);

// What a reader may take of a trace that may still be written, or that a
// killed program left: the text up to its first zero byte (its reserve), and
// of that only the whole lines, up to the last newline. A mapped file reaches
// a reader page by page, so a line that straddles two pages can come back
// with its end there and its start still zero: dropping the zero bytes
// instead would read it as a line with a wrong time.
std::string_view readableText(std::string_view text);

}  // namespace traffic
