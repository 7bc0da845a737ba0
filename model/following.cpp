#include "following.h"

#include <algorithm>
#include <cmath>

namespace model {

namespace {

constexpr unsigned long long kRestChunk = 10000000;          // 10 ms: how the end's coming to rest is walked

// Steady rates are tried from this up, each this much above the one before.
constexpr double kLowestRate = 5;
constexpr double kRateGrid = 1.06;

}  // namespace

int slowdownLimit(const std::vector<PortWrite> &writes)
{
    unsigned long long shortest = 0;
    for (size_t i = 1; i < writes.size(); ++i) {
        const unsigned long long gap = writes[i].time - writes[i - 1].time;
        if (gap > 0 && gap <= traffic::kLongestStretched && (shortest == 0 || gap < shortest))
            shortest = gap;
    }
    if (shortest == 0)
        return 1;
    return int(std::min<unsigned long long>(traffic::kMostSlowdown, (traffic::kLongestGap + shortest - 1) / shortest));
}

Run runMotor(const MotorParams &motor, const std::vector<PortWrite> &writes, const RunOptions &options)
{
    MotorModel model(motor, options.driver);
    const auto observe = [&] {
        if (options.observe)
            options.observe(model);
    };
    const auto stopped = [&] { return options.stopAtFirstSlip && model.lostSteps() > 0; };
    unsigned long long time = writes.empty() ? 0 : writes.front().time;
    size_t i = 0;  // the writes fed
    for (; i < writes.size() && !stopped(); ++i) {
        if (i > 0 && writes[i].time > writes[i - 1].time)
            time += traffic::stretchedGap(writes[i].time - writes[i - 1].time, options.slowdown);
        if (options.observe && options.sampleEvery)
            while (!model.settled() && model.time() + options.sampleEvery < time) {
                model.advanceTo(model.time() + options.sampleEvery);
                observe();
            }
        model.feed(time, writes[i].value);
        observe();
        if (options.progress && (i & 0xffff) == 0xffff)
            options.progress(double(i) / double(writes.size()));
    }
    // The last pulses' motion is part of the move: a rotor that overshoots
    // and slips as it stops has lost those steps too.
    while (!model.settled() && !stopped()) {
        model.advanceTo(model.time() + (options.sampleEvery ? options.sampleEvery : kRestChunk));
        observe();
    }
    Run run;
    run.pulses = model.pulses();
    run.commanded = model.commandedSteps();
    run.rotor = model.rotorSteps();
    run.lost = model.lostSteps();
    run.writes = i;
    run.start = writes.empty() ? 0 : writes.front().time;
    run.end = std::max(time, model.restedAt());
    return run;
}

std::vector<PortWrite> pulseTrain(const std::vector<double> &times)
{
    constexpr double kNs = 1e9;
    const unsigned long long start = 1000000;  // 1 ms of low lines before the first pulse
    std::vector<PortWrite> writes{{0, 0}};
    writes.reserve(2 * times.size() + 1);
    for (size_t i = 0; i < times.size(); ++i) {
        const double width = i + 1 < times.size() ? times[i + 1] - times[i] : i > 0 ? times[i] - times[i - 1] : 1e-3;
        writes.push_back({start + static_cast<unsigned long long>(times[i] * kNs), 1});
        writes.push_back({start + static_cast<unsigned long long>((times[i] + width / 2) * kNs), 0});
    }
    return writes;
}

std::vector<double> steadyTimes(double rate, double seconds)
{
    std::vector<double> times;
    const long count = std::max(1L, std::lround(rate * seconds));
    for (long i = 0; i < count; ++i)
        times.push_back(double(i) / rate);
    return times;
}

std::vector<double> rampTimes(double from, double to, double seconds)
{
    // Pulses so far at time t: from·t + (to - from)·t²/(2·seconds); pulse n where that is n.
    const double a = (to - from) / (2 * seconds);
    std::vector<double> times;
    for (long n = 0;; ++n) {
        const double t = std::fabs(a) < 1e-12 ? n / from : (-from + std::sqrt(from * from + 4 * a * n)) / (2 * a);
        if (!(t <= seconds))
            break;
        times.push_back(t);
    }
    return times;
}

bool followsFromRest(const MotorParams &motor, double rate)
{
    RunOptions options;
    options.stopAtFirstSlip = true;
    return runMotor(motor, pulseTrain(steadyTimes(rate, 1)), options).followed();
}

StartRate findStartRate(const MotorParams &motor, const Progress &progress)
{
    // Every rate of a fine grid, from a few pulses a second up to well past
    // the highest followed, since a band of resonance can hide rates that
    // are followed above it. Rates that are not followed cost little: each
    // stops at its first slip.
    std::vector<std::pair<double, bool>> tried;
    double best = 0;
    for (double rate = kLowestRate; rate < 200 || rate < 3 * best; rate *= kRateGrid) {
        tried.push_back({rate, followsFromRest(motor, rate)});
        if (tried.back().second)
            best = rate;
        if (progress)
            progress(std::min(1.0, std::log(rate / kLowestRate) / std::log(3 * std::max(best, 200.0) / kLowestRate)));
        if (rate > 200000)
            break;
    }
    StartRate found;
    if (best == 0)
        return found;
    // Each edge between a rate followed and one not, to half a pulse a second.
    const auto edge = [&](double followed, double lost) {
        while (std::fabs(lost - followed) > 0.5) {
            const double middle = (followed + lost) / 2;
            (followsFromRest(motor, middle) ? followed : lost) = middle;
        }
        return std::pair(followed, lost);
    };
    found.rate = edge(best, best * kRateGrid).first;
    for (size_t i = 0; i < tried.size() && tried[i].first < best; ++i) {
        if (tried[i].second)
            continue;
        // From the first rate that loses steps to the last, each found between the grid's.
        const double first = i > 0 ? edge(tried[i - 1].first, tried[i].first).second : tried[i].first;
        while (!tried[i + 1].second)
            ++i;
        found.bands.push_back({first, edge(tried[i + 1].first, tried[i].first).second});
    }
    return found;
}

double pullOutRate(const MotorParams &motor, double startRate)
{
    // From half the start rate, gaining half of it a second, up to twenty times it.
    const double from = startRate / 2, seconds = 39;
    const double to = from + startRate / 2 * seconds;
    RunOptions options;
    options.stopAtFirstSlip = true;
    unsigned long long slipped = 0;
    options.observe = [&](const MotorModel &model) {
        if (model.lostSteps() > 0 && slipped == 0)
            slipped = model.time();
    };
    const std::vector<PortWrite> writes = pulseTrain(rampTimes(from, to, seconds));
    runMotor(motor, writes, options);
    if (slipped == 0)
        return to;
    const double t = double(slipped - writes[1].time) * 1e-9;
    return from + (to - from) * std::min(1.0, t / seconds);
}

int suggestedSlowdown(const MotorParams &motor, const std::vector<PortWrite> &writes, DriverSettings driver,
                      const Progress &progress)
{
    size_t spent = 0;  // writes fed to the model so far
    const auto follows = [&](int slowdown) {
        RunOptions options;
        options.slowdown = slowdown;
        options.driver = driver;
        options.stopAtFirstSlip = true;
        options.progress = progress;
        const Run run = runMotor(motor, writes, options);
        spent += run.writes;
        return run.followed();
    };
    // Every slowdown in turn: more slowdown is not always better (where a move reverses at speed,
    // whether the rotor holds depends on where its swing is at that moment), and one too small for
    // a file is mostly lost within its first pulses, where its run stops. Only when they are lost
    // late, each costing nearly a whole run, does the search leap, supposing from there that a
    // larger slowdown is followed where a smaller one is not.
    const int limit = slowdownLimit(writes);
    int fail = 0;
    for (int n = 1; n <= limit; fail = n++) {
        if (follows(n))
            return n;
        if (spent > std::max<size_t>(8 * writes.size(), 1000000))
            break;
    }
    int pass = 0;
    while (pass == 0) {
        if (fail >= limit)
            return 0;
        const int n = std::min(limit, std::max(fail + 1, fail * 3 / 2));
        (follows(n) ? pass : fail) = n;
    }
    while (pass - fail > 1) {
        const int middle = fail + (pass - fail) / 2;
        (follows(middle) ? pass : fail) = middle;
    }
    return pass;
}

}  // namespace model
