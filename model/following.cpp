#include "following.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace model {

namespace {

constexpr unsigned long long kRestChunk = 10000000;          // 10 ms: how the end's coming to rest is walked

// Steady rates are tried from this up, each this much above the one before.
constexpr double kLowestRate = 5;
constexpr double kRateGrid = 1.06;

// The model's steps this thread's runs have cost: what the motor's rates cost, to take from the slowdown's budget.
thread_local double stepsHere = 0;

}  // namespace

int slowdownLimit(const WriteLog &writes, double faster)
{
    // A gap past kLongestStretched is never stretched: when even the shortest is, none is.
    const auto shortest = static_cast<unsigned long long>(std::llround(double(writes.shortestGap()) / faster));
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
    bool cut = false;
    const auto stopped = [&] {
        cut = cut || (options.mostWork && model.work() > options.mostWork);
        return cut || (options.stopAtFirstSlip && model.lostSteps() > 0);
    };
    unsigned long long told = 0;  // the model's work when progress was last told
    const auto tell = [&](size_t fed) {
        if (options.progress && ((fed & 0xfff) == 0 || model.work() - told > 0xffff)) {
            told = model.work();
            options.progress(writes.empty() ? 1 : double(fed) / double(writes.size()));
        }
    };
    // Looks between writes, up to `until`.
    const auto look = [&](unsigned long long until) {
        while (options.nextLook && !stopped()) {
            const unsigned long long next = options.nextLook(model.time());
            if (next <= model.time() || next >= until)
                return;
            model.advanceTo(next);
            observe();
        }
    };
    unsigned long long time = writes.front().time;
    WriteLog::Reader reader = writes.reader();
    PortWrite write, before = writes.front();
    size_t fed = 0;
    while (!stopped() && reader.next(write)) {
        if (fed > 0)  // each gap as the machine and the library would make it
            time += traffic::pacedGap(
                static_cast<unsigned long long>(std::llround(double(write.time - before.time) / options.faster)),
                options.pacing);
        before = write;
        look(time);
        model.feed(time, write.value);
        observe();
        tell(++fed);
    }
    // The last pulses' motion is part of the move: a rotor that overshoots
    // and slips as it stops has lost those steps too.
    const unsigned long long watched = options.watchAfter ? model.time() + options.watchAfter : traffic::kLatest;
    while (!model.settled() && !stopped() && model.time() < watched) {
        look(watched);
        model.advanceTo(std::min(watched, model.time() + kRestChunk));
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
    stepsHere += double(run.work);
    run.cut = cut;
    run.start = writes.front().time;
    run.end = model.settled() ? std::max(time, model.restedAt()) : model.time();
    return run;
}

std::vector<PortWrite> pulseTrain(const std::vector<double> &times, const std::vector<bool> &back)
{
    constexpr double kNs = 1e9;
    const unsigned long long start = 1000000;  // 1 ms of low lines before the first pulse
    std::vector<PortWrite> writes{{0, 0}};
    writes.reserve(2 * times.size() + 1);
    for (size_t i = 0; i < times.size(); ++i) {
        const double width = i + 1 < times.size() ? times[i + 1] - times[i] : i > 0 ? times[i] - times[i - 1] : 1e-3;
        const int direction = i < back.size() && back[i] ? 2 : 0;
        writes.push_back({start + static_cast<unsigned long long>(times[i] * kNs), 1 | direction});
        writes.push_back({start + static_cast<unsigned long long>((times[i] + width / 2) * kNs), direction});
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

namespace {

// The senses a motor is tried in: one when it turns the same either way, both when a load makes them differ.
std::vector<bool> senses(const MotorParams &motor)
{
    return motor.loadTorque != 0 ? std::vector<bool>{false, true} : std::vector<bool>{false};
}

// Whether the motor follows, from rest, pulses at `times`, all one way or all the other: stopped at its first slip,
// and watched after the last for twenty periods of its ringing at most (an overshoot slips within the first).
bool follows(const MotorParams &motor, DriverSettings driver, const std::vector<double> &times, bool back,
             const std::vector<bool> &reversed = {})
{
    RunOptions options;
    options.driver = driver;
    options.stopAtFirstSlip = true;
    options.watchAfter = static_cast<unsigned long long>(20e9 / motor.naturalFrequency());
    std::vector<bool> way(times.size(), back);
    for (size_t i = 0; i < reversed.size(); ++i)
        way[i] = reversed[i] != back;
    return runMotor(motor, pulseTrain(times, way), options).followed();
}

}  // namespace

bool followsFromRest(const MotorParams &motor, double rate, DriverSettings driver)
{
    // A second, or 500 periods of its fastest ringing when that is shorter: a rotor that rings at kHz with no
    // friction never comes to rest, and by then has found its pace.
    const double seconds = std::min(1.0, 500 / motor.fastestRinging());
    for (const bool back : senses(motor))
        if (!follows(motor, driver, steadyTimes(rate, seconds), back))
            return false;
    return true;
}

StartRate findStartRate(const MotorParams &motor, const Progress &progress, DriverSettings driver)
{
    // Every rate of a fine grid, from a few pulses a second up to well past
    // the highest followed, since a band of resonance can hide rates that
    // are followed above it. Rates that are not followed cost little: each
    // stops at its first slip.
    std::vector<std::pair<double, bool>> tried;
    double best = 0;
    for (double rate = kLowestRate; rate < 200 || rate < 3 * best; rate *= kRateGrid) {
        tried.push_back({rate, followsFromRest(motor, rate, driver)});
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
            (followsFromRest(motor, middle, driver) ? followed : lost) = middle;
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

bool followsLatePulses(const MotorParams &motor, double rate, DriverSettings driver)
{
    // A busy machine holds a program up now and then, and the library then
    // makes the next pulse as soon as the rate lets it: a pulse comes late
    // and the ones after it keep their pace. Stopped, the rotor swings on past
    // the field and back; the pulses that come after it as it swings back
    // start it at full rate from a rotor already moving the wrong way. How
    // late matters: each lateness up to one and a half periods of its ringing.
    const double period = 1 / motor.naturalFrequency(), tail = std::max(16 / rate, 8 * period);
    std::vector<double> lateness;
    for (int j = 1; j <= 18; ++j)
        if (const double late = std::min(j * period / 12, 1e-9 * double(traffic::kLongestGap));
            lateness.empty() || late > lateness.back())
            lateness.push_back(late);
    for (const bool back : senses(motor)) {
        // Every k-th pulse late: held up again and again, the rotor's swing can grow (first: it is where a rate
        // too fast mostly fails, and a rate that fails costs the less)
        std::vector<double> often = lateness;  // half a period first
        std::stable_sort(often.begin(), often.end(), [&](double a, double b) {
            return std::fabs(a - period / 2) < std::fabs(b - period / 2);
        });
        for (int k : {3, 1, 2, 5, 8})
            for (const double late : often) {
                std::vector<double> times{0};
                for (size_t i = 1; times.back() < std::min(1.0, std::max(30 * period, 16 / rate)); ++i)
                    times.push_back(times.back() + 1 / rate + (i % k == 0 ? late : 0));
                if (!follows(motor, driver, times, back))
                    return false;
            }
        // One late pulse, after a few pulses (the rotor still finding its pace) or many.
        for (int n : {3, 2, 4, 1, 6, 10, 20, 40})
            for (const double late : lateness) {
                std::vector<double> times;
                for (int i = 0; i < n || times.back() < (n - 1) / rate + late + tail; ++i)
                    times.push_back(i / rate + (i >= n ? late : 0));
                if (!follows(motor, driver, times, back))
                    return false;
            }
        // The sense reversed at that rate: rotacion's buttons, a move there and back.
        for (int n : {3, 2, 4, 1, 6, 10, 20, 40}) {
            const std::vector<double> times = steadyTimes(rate, (n + std::ceil(tail * rate)) / rate);
            std::vector<bool> reversed(times.size(), false);
            std::fill(reversed.begin() + n, reversed.end(), true);
            if (!follows(motor, driver, times, back, reversed))
                return false;
        }
    }
    return true;
}

double advisedRate(const MotorParams &motor, double startRate, DriverSettings driver, const Progress &progress)
{
    // The rates of two significant figures from the most, three quarters of the start rate, down to the least
    // the library takes: the highest that follows late pulses, found by halving, as a faster rate is harder.
    std::vector<double> rates;
    for (double unit = std::pow(10, std::floor(std::log10(std::max(startRate, 1.0))) - 1); unit >= 0.1; unit /= 10)
        for (int digits = 99; digits >= 10; --digits)
            if (const double rate = digits * unit; rate <= 0.75 * startRate && rate >= traffic::kLeastRate)
                rates.push_back(rate);
    if (rates.empty())
        return 0;
    size_t followed = rates.size(), lost = 0;  // indices, the highest first: rates[lost] loses steps
    int tries = 0;
    const auto tell = [&] {
        if (progress)
            progress(std::min(1.0, ++tries / (std::log2(double(rates.size())) + 2)));
    };
    if (followsLatePulses(motor, rates[0], driver))
        return rates[0];
    tell();
    while (followed - lost > 1) {  // the least is tried only when all above it fail
        const size_t middle = (followed + lost) / 2;
        (followsLatePulses(motor, rates[middle], driver) ? followed : lost) = middle;
        tell();
    }
    return followed < rates.size() ? rates[followed] : 0;
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

namespace {

// The search of suggestedSlowdown(), within `budget` of the model's steps.
int slowdownWithin(const MotorParams &motor, const WriteLog &writes, DriverSettings driver, const Progress &progress,
                   double *work, double budget)
{
    const int limit = slowdownLimit(writes, kFasterMachine);
    double spent = 0, told = 0;
    // Whether N is followed, on the faster machine first (where it fails sooner), then as recorded: 1, 0 not,
    // -1 unknown, its run cut at the budget. Each run told between `from` and `to` of the whole search, never back.
    const auto follows = [&](int slowdown, double from, double to) {
        for (const double faster : {kFasterMachine, 1.0}) {
            RunOptions options;
            options.pacing.slowdown = slowdown;
            options.faster = faster;
            options.driver = driver;
            options.stopAtFirstSlip = true;
            options.mostWork = static_cast<unsigned long long>(std::max(1.0, budget - spent));
            if (progress) {
                options.progress = [&](double share) { progress(told = std::max(told, from + (to - from) * share)); };
                options.progress(0);  // at each run, however short
            }
            const Run run = runMotor(motor, writes, options);
            spent += double(run.work);
            if (work)
                *work = spent;
            if (!run.followed())
                return run.cut ? -1 : 0;
        }
        return 1;
    };
    // Every slowdown in turn: more slowdown is not always better (where a move reverses at speed,
    // whether the rotor holds depends on where its swing is at that moment), and one too small for
    // a file is mostly lost within its first pulses, where its run stops. Only once that has cost
    // a quarter of the budget, its runs losing steps late, does the search leap, supposing from there
    // that a larger slowdown is followed where a smaller one is not. The first half of the progress.
    int fail = 0;
    for (int n = 1; n <= limit; ++n) {
        const double at = 0.5 * std::min(1.0, std::max(4 * spent / budget, double(n - 1) / limit));
        const int verdict = follows(n, at, at);
        if (verdict)
            return verdict > 0 ? n : -1;
        fail = n;
        if (4 * spent > budget)
            break;
    }
    // Leaps by half again up to the limit, then halving back: a few dozen tries at most, the second half,
    // within half the budget. Past that, two more at most, four times the last slowdown that lost steps, then
    // the most, within the budget left: each run there can cost a great deal (a rotor that never comes to rest
    // between slow pulses). A slowdown that is followed, if not the smallest, is the answer.
    int pass = 0, tries = 0;
    const auto next = [&](int n) {
        const double left = 1 + (pass ? std::log2(pass - fail) : std::log(double(limit) / fail) / std::log(1.5) +
                                                                     std::log2(fail / 2.0 + 1));
        const double from = 0.5 + 0.5 * tries / (tries + left), to = 0.5 + 0.5 * (tries + 1) / (tries + left);
        ++tries;
        const int verdict = follows(n, from, to);
        (verdict > 0 ? pass : fail) = n;
        return verdict >= 0;
    };
    for (bool over = false; pass == 0 && fail < limit;) {
        const int leap = over ? limit : 2 * spent > budget ? 4 * fail : std::max(fail + 1, fail * 3 / 2);
        over = over || 2 * spent > budget;
        if (!next(std::min(limit, leap)))
            return -1;
    }
    while (pass - fail > 1 && 2 * spent <= budget)
        if (!next(fail + (pass - fail) / 2))
            break;
    return pass;
}

}  // namespace

int suggestedSlowdown(const MotorParams &motor, const WriteLog &writes, DriverSettings driver,
                      const Progress &progress, double *work)
{
    return slowdownWithin(motor, writes, driver, progress, work,
                          kSearchWork * double(writes.size()) + kLeastSearchWork);
}

namespace {

// Whether two motors turn alike: every figure but the name.
bool alike(const MotorParams &a, const MotorParams &b)
{
    return a.fullSteps == b.fullSteps && a.holdingTorque == b.holdingTorque && a.current == b.current &&
           a.resistance == b.resistance && a.inductance == b.inductance && a.voltage == b.voltage &&
           a.inertia == b.inertia && a.detentTorque == b.detentTorque && a.coulombTorque == b.coulombTorque &&
           a.viscousDamping == b.viscousDamping && a.loadTorque == b.loadTorque;
}

}  // namespace

Advice motorRates(const MotorParams &motor, DriverSettings driver, const Progress &progress)
{
    // The last few motors and boards asked for, the latest last: a viewer asks again after every move.
    struct Kept {
        MotorParams motor;
        DriverSettings driver;
        Advice rates;
    };
    static std::mutex mutex;
    static std::vector<Kept> kept;
    const auto same = [&](const Kept &k) {
        return alike(k.motor, motor) && k.driver.fallingEdge == driver.fallingEdge &&
               k.driver.lowIsClockwise == driver.lowIsClockwise;
    };
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (const auto found = std::find_if(kept.begin(), kept.end(), same); found != kept.end())
            return found->rates;
    }
    // Worked out unlocked (another thread may ask for another motor meanwhile); the start rate takes about a
    // fifth of the time, the rate with its margin the rest.
    Advice rates;
    rates.start = findStartRate(motor, progress ? [&](double share) { progress(0.2 * share); } : Progress(), driver);
    rates.rate = advisedRate(motor, rates.start.rate, driver,
                             progress ? [&](double share) { progress(0.2 + 0.8 * share); } : Progress());
    const std::lock_guard<std::mutex> lock(mutex);
    if (std::find_if(kept.begin(), kept.end(), same) == kept.end()) {
        if (kept.size() >= 8)
            kept.erase(kept.begin());
        kept.push_back({motor, driver, rates});
    }
    return rates;
}

Advice advise(const MotorParams &motor, DriverSettings driver, const WriteLog &writes, const Progress &progress)
{
    // The rates, when not kept yet, as the first third of the progress. What they cost is taken from the
    // slowdown's budget, down to half of it, so that the first move of a motor costs about what the next ones do.
    bool known = true;
    const double before = stepsHere;
    Advice advice = motorRates(motor, driver, progress ? [&](double share) {
        known = false;
        progress(share / 3);
    } : Progress());
    const double from = known ? 0 : 1 / 3.0, budget = kSearchWork * double(writes.size()) + kLeastSearchWork;
    advice.slowdown = writes.empty() ? 1 : slowdownWithin(motor, writes, driver, progress ? [&](double share) {
        progress(from + (1 - from) * share);
    } : Progress(), nullptr, std::max(budget / 2, budget - (stepsHere - before)));
    return advice;
}

}  // namespace model
