// The trace's other form, a value change dump (PARPORT_TRACE=FILE.vcd): its
// header, then each write's changed lines, its time counted from the first
// write. One run a file: the trace empties the file before the header. The
// text is made here and stored by the trace as it stores its lines.
#pragma once

#include "vcd.h"

#include <ctime>
#include <string>

namespace inpout {

class Dump {
public:
    // The header, dated now.
    std::string header() const
    {
        char date[64];
        const std::time_t now = std::time(nullptr);
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", std::localtime(&now));
        return vcd::header(date, MOTOR_VERSION);
    }
    // A write's text into `out` (vcd::kWriteMax bytes); its length, 0 when it changed no line.
    std::size_t write(char *out, unsigned long long time, short value)
    {
        if (lines_.value < 0)
            first_ = time;
        return vcd::write(out, lines_, time - first_, value);
    }

private:
    vcd::Lines lines_;
    unsigned long long first_ = 0;  // the first write's time, the dump's 0
};

}  // namespace inpout
