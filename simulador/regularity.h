// How even the gaps between writes are: the figures a person at a bench
// judges a machine by (how late a pulse can come), and whether they say the
// pulses are irregular. No widgets, no clock: the gaps are given.
#pragma once

#include <cstddef>
#include <vector>

namespace simulador {

struct Regularity {
    unsigned long long median = 0, p99 = 0, p999 = 0, longest = 0;  // in ns
    std::size_t gaps = 0;       // how many were given
    std::size_t overTwice = 0;  // how many were over twice the median
    // `ns` as a multiple of the median (0 with no gaps).
    double times(unsigned long long ns) const { return median ? double(ns) / double(median) : 0; }
    // Irregular when one gap in a thousand (the 99.9th percentile) lasts over
    // kIrregular times the median. A step board steps on each edge, so such a
    // gap is the motor stopped for a few steps and restarted at once at full
    // speed: near its top speed, that is where steps get lost. One late gap
    // in a thousand is hundreds a minute at the programs' rates. A bare spin
    // loop on a quiet machine stays below it; under load it does not.
    bool irregular() const { return p999 > kIrregular * median; }
    static constexpr unsigned long long kIrregular = 4;
};

// The figures of `gaps` (ns). Percentiles by nearest rank: the smallest gap
// that at least that share of the gaps do not exceed, so every figure is a
// gap that happened.
Regularity regularity(std::vector<unsigned long long> gaps);

}  // namespace simulador
