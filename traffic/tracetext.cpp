#include "tracetext.h"
#include "decimal.h"

namespace traffic {

char *traceLine(char *end, unsigned long long time, unsigned short address, short value)
{
    char *line = end;
    *--line = '\n';
    line = decimal(line, static_cast<unsigned long long>(value < 0 ? -value : value));
    if (value < 0)
        *--line = '-';
    *--line = ' ';
    line = decimal(line, address);
    *--line = ' ';
    return decimal(line, time);
}

bool readTraceLine(std::string_view line, TraceLine &out)
{
    std::size_t at = 0;
    const auto blanks = [&] {
        const std::size_t from = at;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r'))
            ++at;
        return at > from;
    };
    blanks();
    unsigned long long value = 0;
    if (!(readDecimal(line, at, out.time) && blanks() && readDecimal(line, at, out.address) && blanks()))
        return false;
    const bool negative = at < line.size() && line[at] == '-';
    at += negative;
    if (!readDecimal(line, at, value))
        return false;
    blanks();
    out.value = static_cast<long long>(negative ? 0 - value : value);  // only its low bits are lines
    return at == line.size();
}

std::string_view readableText(std::string_view text)
{
    const std::size_t zero = text.find('\0');
    if (zero == std::string_view::npos)
        return text;
    const std::size_t newline = text.substr(0, zero).rfind('\n');
    return text.substr(0, newline == std::string_view::npos ? 0 : newline + 1);
}

}  // namespace traffic
