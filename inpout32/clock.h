// The one clock of the library, the programs and the viewer: CLOCK_MONOTONIC
// in nanoseconds. Writes are stamped with it, the slowdown stretches gaps on
// it, and the viewer ages what it shows by it, so all of them must read the
// same clock the same way.
#pragma once

#include <ctime>

inline unsigned long long monotonicNow()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<unsigned long long>(time.tv_sec) * 1000000000ULL + static_cast<unsigned long long>(time.tv_nsec);
}
