// A port for tests: records every write and every delay in order, without
// waiting. The log reads like the traffic: a digit per value written, 'd' per
// delay, so a right pulse of vueltas is "1dd0dd".
#pragma once

#include "port.h"

#include <functional>
#include <string>
#include <vector>

struct RecordingPort : motor::Port {
    std::string log;
    std::vector<long> bounds;     // the bound of each delay, in order
    bool otherAddress = false;    // a write went somewhere other than 888
    std::function<void()> onWrite;

    void write(short address, short value) override
    {
        otherAddress = otherAddress || address != 888;
        log += value >= 0 && value <= 9 ? char('0' + value) : '?';
        if (onWrite)
            onWrite();
    }
    long delay(long bound) override
    {
        log += 'd';
        bounds.push_back(bound);
        return bound + 1;
    }
    int writes() const
    {
        int count = 0;
        for (char c : log)
            count += c != 'd';
        return count;
    }
};

inline std::string repeat(const std::string &unit, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += unit;
    return out;
}
