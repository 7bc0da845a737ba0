// Timing helpers of the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

// Median over `rounds` of the seconds that `work` takes, on the monotonic clock.
inline double median(int rounds, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// How much longer `work` takes than `base`, in percent: the two run in
// alternating short rounds and the median of the rounds' ratios is taken, so
// that the machine's drift in speed (large on a virtual machine) cancels out.
inline double overheadPercent(int rounds, const std::function<void()> &base, const std::function<void()> &work)
{
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i) {
        const double b = median(1, base), w = median(1, work);
        ratios.push_back(w / b);
    }
    std::sort(ratios.begin(), ratios.end());
    return (ratios[ratios.size() / 2] - 1.0) * 100.0;
}
