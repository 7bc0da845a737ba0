// Numbers in decimal for the traces, written by hand.
#pragma once

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
