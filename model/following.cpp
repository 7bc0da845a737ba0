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

int slowdownLimit(const WriteLog &writes)
{
    // A gap past kLongestStretched is never stretched: when even the shortest is, none is.
    const unsigned long long shortest = writes.shortestGap();
    if (shortest == 0 || shortest > traffic::kLongestStretched)
        return 1;
    return int(std::min<unsigned long long>(traffic::kMostSlowdown, (traffic::kLongestGap + shortest - 1) / shortest));
}

Run runMotor(const MotorParams &motor, const WriteLog &writes, const RunOptions &options)
{
    MotorModel model(motor, options.driver);
    const auto observe = [&] {
        if (options.observe)
            options.observe(model);
    };
    const auto stopped = [&] { return options.stopAtFirstSlip && model.lostSteps() > 0; };
    unsigned long long told = 0;  // the model's work when progress was last told
    const auto tell = [&](size_t fed) {
        if (options.progress && ((fed & 0xfff) == 0 || model.work() - told > 0xffff)) {
            told = model.work();
            options.progress(writes.empty() ? 1 : double(fed) / double(writes.size()));
        }
    };
    unsigned long long time = writes.front().time;
    WriteLog::Reader reader = writes.reader();
    PortWrite write, before = writes.front();
    size_t fed = 0;
    while (!stopped() && reader.next(write)) {
        if (write.time > before.time)
            time += traffic::stretchedGap(write.time - before.time, options.slowdown);
        before = write;
        if (options.observe && options.sampleEvery)
            while (!model.settled() && model.time() + options.sampleEvery < time) {
                model.advanceTo(model.time() + options.sampleEvery);
                observe();
            }
        model.feed(time, write.value);
        observe();
        tell(++fed);
    }
    // The last pulses' motion is part of the move: a rotor that overshoots
    // and slips as it stops has lost those steps too.
    while (!model.settled() && !stopped()) {
        model.advanceTo(model.time() + (options.sampleEvery ? options.sampleEvery : kRestChunk));
        observe();
        tell(fed);
    }
    Run run;
    run.pulses = model.pulses();
    run.commanded = model.commandedSteps();
    run.rotor = model.rotorSteps();
    run.lost = model.lostSteps();
    run.writes = fed;
    run.work = model.work();
    run.start = writes.front().time;
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

int suggestedSlowdown(const MotorParams &motor, const WriteLog &writes, DriverSettings driver,
                      const Progress &progress, double *work)
{
    const int limit = slowdownLimit(writes);
    const double budget = kSearchWork * double(writes.size()) + kLeastSearchWork;
    double spent = 0, told = 0;
    // Each run told between `from` and `to` of the whole search, never back.
    const auto follows = [&](int slowdown, double from, double to) {
        RunOptions options;
        options.slowdown = slowdown;
        options.driver = driver;
        options.stopAtFirstSlip = true;
        if (progress) {
            options.progress = [&](double share) { progress(told = std::max(told, from + (to - from) * share)); };
            options.progress(0);  // at each run, however short
        }
        const Run run = runMotor(motor, writes, options);
        spent += double(run.work);
        if (work)
            *work = spent;
        return run.followed();
    };
    // Every slowdown in turn: more slowdown is not always better (where a move reverses at speed,
    // whether the rotor holds depends on where its swing is at that moment), and one too small for
    // a file is mostly lost within its first pulses, where its run stops. Only once that has cost
    // a quarter of the budget, its runs losing steps late, does the search leap, supposing from there
    // that a larger slowdown is followed where a smaller one is not. The first half of the progress.
    int fail = 0;
    for (int n = 1; n <= limit; ++n) {
        const double at = 0.5 * std::min(1.0, std::max(4 * spent / budget, double(n - 1) / limit));
        if (follows(n, at, at))
            return n;
        fail = n;
        if (4 * spent > budget)
            break;
    }
    // Leaps by half again up to the limit, then halving back: a few dozen tries at most, the second half.
    int pass = 0, tries = 0;
    const auto next = [&](int n) {
        const double left = 1 + (pass ? std::log2(pass - fail) : std::log(double(limit) / fail) / std::log(1.5) +
                                                                     std::log2(fail / 2.0 + 1));
        const double from = 0.5 + 0.5 * tries / (tries + left), to = 0.5 + 0.5 * (tries + 1) / (tries + left);
        ++tries;
        (follows(n, from, to) ? pass : fail) = n;
    };
    // Past the budget each run costs a great deal (a rotor that never comes to rest between slow
    // pulses): two more at most, four times the last stretch that lost steps, then the most; and a
    // slowdown that is followed, if not the smallest, is the answer.
    for (bool over = false; pass == 0 && fail < limit;) {
        const int leap = over ? limit : spent > budget ? 4 * fail : std::max(fail + 1, fail * 3 / 2);
        over = over || spent > budget;
        next(std::min(limit, leap));
    }
    while (pass - fail > 1 && spent <= budget)
        next(fail + (pass - fail) / 2);
    return pass;
}

}  // namespace model
