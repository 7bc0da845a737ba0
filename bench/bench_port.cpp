// How much the port writes cost beside the delays that space them.
//
//   bench_port            runs every measurement, each in a fresh process (the
//                         port library reads its settings at the first write)
//   bench_port out32      ns per Out32 call, with the settings in the environment
//   bench_port halfstep   the vueltas half-step against its two delays
//   bench_port slowdown   how close PARPORT_SLOWDOWN's stretched gaps come to
//                         N times the program's own (N from the environment)
//
// Times are the median of several rounds, on CLOCK_MONOTONIC.
#include "bench.h"
#include "port.h"
#include "turns.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void out32()
{
    motor::ParallelPort port;
    port.write(888, 0);  // binds and opens
    const int writes = 100000;
    const double seconds = median(9, [&] {
        for (int i = 0; i < writes; ++i)
            port.write(888, static_cast<short>(i & 1));
    });
    std::printf("%.1f\n", seconds / writes * 1e9);
}

// A half-step of vueltas is one write and two delays of 30001 passes. The
// overhead is what the half-step costs beyond its two delays.
void halfstep()
{
    motor::ParallelPort port;
    vueltas::Turns turns(port);
    turns.arranque();
    const int steps = 100;
    auto delaysOnly = [&] {
        for (int i = 0; i < steps; ++i) {
            turns.reta();
            turns.reta();
        }
    };
    const double delays = median(21, delaysOnly);
    const double measured = overheadPercent(101, delaysOnly, [&] {
        for (int i = 0; i < steps; ++i) {
            port.write(turns.puerto, static_cast<short>(i & 1));
            turns.reta();
            turns.reta();
        }
    });
    std::printf("%.3f %.3f %.2f\n", delays / (2.0 * steps * (vueltas::kRetaBound + 1)) * 1e9,
                delays / steps * 1e6 * (1 + measured / 100), measured);
}

// Each gap the program leaves between two writes (two delays of vueltas),
// against the gap the library stretched it to: from one write's return to
// the next write's return, less the write's own cost.
void slowdown()
{
    const double factor = std::atof(std::getenv("PARPORT_SLOWDOWN"));
    motor::ParallelPort port;
    vueltas::Turns turns(port);
    turns.arranque();
    const double writeCost = median(9, [&] {
        for (int i = 0; i < 1000; ++i)
            port.write(888, short(i & 1));
    }) / 1000;  // the last of these returns long after the gap before it: not stretched
    using Clock = std::chrono::steady_clock;
    std::vector<double> ratios;
    Clock::time_point back = Clock::now();
    for (int i = 0; i < 2000; ++i) {
        turns.reta();
        turns.reta();
        const Clock::time_point called = Clock::now();
        port.write(888, short(i & 1));
        const Clock::time_point returned = Clock::now();
        const double gap = std::chrono::duration<double>(called - back).count();
        const double stretched = std::chrono::duration<double>(returned - back).count() - writeCost;
        if (i > 0)
            ratios.push_back(stretched / (factor * gap));
        back = returned;
    }
    std::sort(ratios.begin(), ratios.end());
    auto at = [&](double q) { return (ratios[size_t(q * (ratios.size() - 1))] - 1) * 100; };
    std::printf("%.3f %.3f %.3f %.3f\n", at(0.5), at(0.01), at(0.95), at(0.99));
}

std::string self;
std::string traceFile;

// Runs this program with a mode and settings; returns what it printed.
std::string child(const std::string &settings, const char *mode)
{
    const std::string command = settings + " '" + self + "' " + mode;
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        if (pclose(pipe) != 0)
            out.clear();
    }
    unlink(traceFile.c_str());
    unlink((traceFile + ".vcd").c_str());
    if (out.empty()) {
        std::fprintf(stderr, "bench_port: %s failed\n", command.c_str());
        std::exit(1);
    }
    return out;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "out32") == 0) {
        out32();
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "halfstep") == 0) {
        halfstep();
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "slowdown") == 0) {
        slowdown();
        return 0;
    }
    self = selfPath();
    traceFile = self + ".trace";
    // Publishing for viewers goes to this user's shared-memory area, as in use.
    const std::string sim = "PARPORT=sim PARPORT_TRACE= PARPORT_PUBLISH=0", published = "PARPORT=sim PARPORT_TRACE=",
                      trace = " PARPORT_TRACE='" + traceFile + "'";
    const double plain = std::atof(child(sim, "out32").c_str());
    const double withPublish = std::atof(child(published, "out32").c_str());
    const double withTrace = std::atof(child(sim + trace, "out32").c_str());
    const double withBoth = std::atof(child(published + trace, "out32").c_str());
    const double withDump = std::atof(child(sim + " PARPORT_TRACE='" + traceFile + ".vcd'", "out32").c_str());
    double pass = 0, step = 0, measured = 0, tracedStep = 0, tracedMeasured = 0;
    std::sscanf(child(published, "halfstep").c_str(), "%lf %lf %lf", &pass, &step, &measured);
    std::sscanf(child(published + trace, "halfstep").c_str(), "%lf %lf %lf", &pass, &tracedStep, &tracedMeasured);
    double median = 0, low = 0, most = 0, high = 0;
    std::sscanf(child(published + " PARPORT_SLOWDOWN=10", "slowdown").c_str(), "%lf %lf %lf %lf", &median, &low,
                &most, &high);
    const double delays = 2 * pass * (vueltas::kRetaBound + 1);
    std::printf("Out32, simulated port:             %8.1f ns per call\n", plain);
    std::printf("  published for viewers:           %8.1f ns per call\n", withPublish);
    std::printf("  traced:                          %8.1f ns per call\n", withTrace);
    std::printf("  traced and published:            %8.1f ns per call\n", withBoth);
    std::printf("  traced as a value change dump:   %8.1f ns per call\n", withDump);
    std::printf("reta:                              %8.3f ns per pass, %.1f us per delay of 30001 passes\n", pass,
                pass * (vueltas::kRetaBound + 1) / 1000);
    std::printf("publishing, against a vueltas half-step: %.3f %% (target: at most 5 %%)\n",
                (withPublish - plain) / delays * 100);
    std::printf("vueltas half-step, published: %.2f %% beyond its two delays (the write's cost; "
                "target: at most 0.5 %%)\n", withPublish / delays * 100);
    std::printf("  the same, timed end to end:      %8.2f %% (%.1f us per half-step)\n", measured, step);
    std::printf("vueltas half-step, traced and published: %.2f %% beyond its two delays; end to end %.2f %%\n",
                withBoth / delays * 100, tracedMeasured);
    std::printf("PARPORT_SLOWDOWN=10: stretched gaps are %+.3f %% off ten times the program's (median; "
                "1st to 95th percentile %+.3f %% to %+.3f %%, 99th %+.3f %%; target: within 1 %%)\n", median, low, most,
                high);
    return 0;
}
