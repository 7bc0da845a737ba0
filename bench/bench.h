// Timing helpers of the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

// The middle one of `values`.
inline double middle(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Median over `rounds` of the seconds that `work` takes, on the monotonic clock.
inline double median(int rounds, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return middle(times);
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
    return (middle(ratios) - 1.0) * 100.0;
}

// This program's own path, to run itself in another mode in a fresh process.
inline std::string selfPath()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return std::string(path, n > 0 ? static_cast<size_t>(n) : 0);
}
