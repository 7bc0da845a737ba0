// What the motor model costs: a second of the programs' heaviest traffic (a
// full-speed vueltas move, some 55,000 writes), the same moves an hour apart
// against a moment apart (the cost follows the writes, not the time they
// span), the viewer's frames while rotacion turns at that speed, and the
// whole simulador --analizar of ten seconds of that traffic, timed as the
// processor time of the command itself; and of a 2 GB trace, with the most
// memory it held.
#include "bench.h"
#include "following.h"
#include "motors.h"
#include "feed.h"
#include "session.h"
#include "tracefile.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace simulador;
using namespace model;
using namespace traffic;

namespace {

constexpr unsigned long long kHalfStep = 18000;  // ns: a vueltas half-step on the development machine

// `pulses` pulses of a full-speed vueltas move from `from`, clockwise.
void move(std::vector<PortWrite> &writes, unsigned long long from, long pulses)
{
    for (long i = 0; i < pulses; ++i) {
        writes.push_back({from + 2 * i * kHalfStep, 1});
        writes.push_back({from + (2 * i + 1) * kHalfStep, 0});
    }
}

double fed(const MotorParams &motor, const std::vector<PortWrite> &writes, int rounds)
{
    return median(rounds, [&] {
        MotorModel model(motor);
        for (const PortWrite &write : writes)
            model.feed(write.time, write.value);
        if (model.time() == 0)
            std::puts("");  // so that the work is not optimised away
    });
}

// The work of the viewer's frames, 60 a second, while a program writes at
// full speed for ten seconds: the area read and the session (board, moves,
// figures and the motor model) fed and brought to each frame's time, the
// writes published in between. The median frame, the 99th percentile and the
// longest, in ms.
void viewerFrames()
{
    const std::string path = selfPath() + ".area";
    std::string error;
    unlink(path.c_str());
    published::Mapped area = published::mapArea(path, error);
    MappedArea viewed;
    if (!area || !viewed.map(path, error)) {
        std::fprintf(stderr, "bench_motor: %s\n", error.c_str());
        std::exit(1);
    }
    AreaFeed feed(std::move(viewed), 0);
    Session session(feed.before(), 0);
    std::vector<double> frames;
    unsigned long long time = kSecond / 60;
    for (int frame = 1; frame <= 600; ++frame) {
        for (; time < frame * kSecond / 60; time += kHalfStep)
            published::publish(*area, time, 888, short(time / kHalfStep & 1));
        frames.push_back(median(1, [&] {
            for (const published::Write &write : feed.take(time))
                session.feed(write);
            session.tick(time);
        }));
    }
    unlink(path.c_str());
    const double longest = *std::max_element(frames.begin(), frames.end());
    std::sort(frames.begin(), frames.end());
    std::printf("the viewer's frame, 60 a second, while the writes come at that speed: median %.3f ms, 99 %% %.3f ms, "
                "longest %.3f ms (a frame is 16.7 ms); the motor lost %ld steps\n", middle(frames) * 1e3,
                frames[frames.size() * 99 / 100] * 1e3, longest * 1e3, session.follower().following().lost);
}

// The processor time this thread has used, in s.
double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// What the viewer's advice costs for a move of the most writes it keeps (262,144), in processor time of the
// thread that works it out: the first time for a motor and a board (its rates worked out too) and again (kept).
// The moves: full-speed pulses; and pulses at 250 a second with a full-speed burst at the end, so that every
// slowdown tried runs through nearly the whole move before it loses steps, and the search meets its bound. The
// motors: the presets; one at the edge of what a motor file may be, ringing at 1.96 kHz with no friction, so that
// it never comes to rest; and the default with a tenth of its damping and a fifth of its friction, whose bands of
// resonance make its rates the dearest to work out.
void adviceCost()
{
    constexpr size_t kKept = 1 << 18;
    std::vector<PortWrite> full{{0, 0}}, late{{0, 0}};
    move(full, 1000000, long(kKept / 2));
    for (unsigned long long i = 0; late.size() < kKept - 2000; ++i)
        late.push_back({1000000 + i * 2000000, int(i & 1)});
    move(late, late.back().time + 2000000, 1000);
    MotorParams ringing = motorPresets().front();
    ringing.name = "al límite";
    ringing.inertia = 2.8e-9, ringing.viscousDamping = ringing.coulombTorque = ringing.detentTorque = 0;
    MotorParams bands = motorPresets().front();
    bands.name = "poco amortiguado";
    bands.viscousDamping = 1e-5, bands.coulombTorque = 2e-4;
    std::vector<MotorParams> motors = motorPresets();
    motors.push_back(ringing);
    motors.push_back(bands);
    double worst = 0;
    int round = 0;
    for (const auto &[name, writes] : {std::pair{"full speed", WriteLog(full)}, {"late losses", WriteLog(late)}})
        for (MotorParams motor : motors) {
            motor.viscousDamping *= 1 + 1e-12 * ++round;  // a motor of its own for the rates kept: worked out anew
            double first = threadSeconds();
            const model::Advice advice = model::advise(motor, {}, writes);
            first = threadSeconds() - first;
            double again = threadSeconds();
            advise(motor, {}, writes);
            again = threadSeconds() - again;
            worst = std::max(worst, first);
            std::printf("advice for %zu writes, %s, %s: %.0f ms the first time, %.0f ms again (start rate %.0f, "
                        "PARPORT_MAXRATE %.0f, PARPORT_SLOWDOWN %d)\n", writes.size(), name, motor.name.c_str(),
                        first * 1e3, again * 1e3, advice.start.rate, advice.rate, advice.slowdown);
        }
    std::printf("the viewer's advice at its worst: %.0f ms of one core (target: at most 1 s)\n", worst * 1e3);
}

// What running a command to its end cost: processor time, user and system, in s; and its peak memory, in MB.
struct Cost {
    double seconds, megabytes;
};
Cost cost(const std::string &program, const std::vector<std::string> &arguments)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        if (!freopen("/dev/null", "w", stdout))
            _exit(1);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3)) {
        std::fprintf(stderr, "bench_motor: %s failed\n", program.c_str());
        std::exit(1);
    }
    return {double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec),
            double(usage.ru_maxrss) / 1024};
}

// A trace of `writes` writes at vueltas' full speed, turn after turn, with the gaps of the documents' turn
// (docs/giro.trace) over and over: some 20 bytes a write.
void longTrace(const std::string &path, long writes)
{
    std::vector<unsigned long long> times;
    std::ifstream turn(DOCS "/giro.trace");
    for (unsigned long long time, address, value; turn >> time >> address >> value;)
        times.push_back(time);
    std::FILE *out = std::fopen(path.c_str(), "w");
    std::vector<char> buffer(1 << 20);
    std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
    const size_t gaps = times.size() - 1;
    unsigned long long time = times[0];
    for (long i = 0; i < writes; time += times[i % gaps + 1] - times[i % gaps], ++i)
        std::fprintf(out, "%llu 888 %ld\n", time, i % 2);
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "bench_motor: can't write %s\n", path.c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "advice") {  // that alone: bench_motor advice
        adviceCost();
        return 0;
    }
    const MotorParams &motor = motorPresets().front();
    std::vector<PortWrite> second{{0, 0}};
    move(second, 1000000, long(1e9 / (2 * kHalfStep)));
    const double perSecond = fed(motor, second, 21);
    std::printf("one second of a full-speed vueltas move (%zu writes): %.2f ms (%.0f ns per write; target: at most "
                "20 ms)\n", second.size(), perSecond * 1e3, perSecond / double(second.size()) * 1e9);
    RunOptions slowed;
    slowed.pacing.slowdown = 30;
    const WriteLog secondLog(second);
    const double followed = median(9, [&] { runMotor(motor, secondLog, slowed); });
    std::printf("the same writes at PARPORT_SLOWDOWN=30, the rotor following them (30 s of traffic): %.2f ms\n",
                followed * 1e3);

    // Ten turns a moment apart, and ten turns an hour apart.
    for (unsigned long long apart : {1000000ULL, 3600000000000ULL}) {
        std::vector<PortWrite> turns{{0, 0}};
        for (int turn = 0; turn < 10; ++turn)
            move(turns, 1000000 + turn * (apart + 96 * 2 * kHalfStep), 96);
        std::printf("ten turns %s apart: %.3f ms\n", apart > 1000000000ULL ? "an hour" : "1 ms",
                    fed(motor, turns, 21) * 1e3);
    }

    viewerFrames();
    adviceCost();

    // The command on ten seconds of that traffic, from a trace file.
    std::vector<PortWrite> ten{{0, 0}};
    move(ten, 1000000, long(10 * 1e9 / (2 * kHalfStep)));
    const std::string trace = selfPath() + ".trace";
    {
        std::ofstream out(trace);
        for (const PortWrite &write : ten)
            out << 1000000000 + write.time << " 888 " << write.value << '\n';
    }
    const double read = median(5, [&] {
        WriteLog writes;
        readTraffic(trace, writes);
    });
    const WriteLog log(ten);
    const double run = median(5, [&] { runMotor(motor, log); });
    StartRate start;
    const double search = median(5, [&] { start = findStartRate(motor); });
    int slowdown = 0;
    const double suggest = median(5, [&] { slowdown = suggestedSlowdown(motor, log); });
    const std::string simulador = selfPath().substr(0, selfPath().rfind('/') + 1) + "simulador";
    std::vector<double> times;
    for (int i = 0; i < 5; ++i)
        times.push_back(cost(simulador, {"--analizar", trace}).seconds);
    unlink(trace.c_str());
    std::printf("simulador --analizar of ten seconds of that traffic (%zu writes): %.3f s of processor time (target: "
                "at most 0.5 s)\n", ten.size(), middle(times));
    std::printf("  in it: reading the trace %.0f ms, the model over it %.0f ms, the start rate (%.1f pulses/s) %.0f "
                "ms, the slowdown (%d) %.0f ms\n",
                read * 1e3, run * 1e3, start.rate, search * 1e3, slowdown, suggest * 1e3);
    std::printf("the default motor's start rate %.1f pulses/s, pull-out rate %.0f pulses/s\n", start.rate,
                pullOutRate(motor, start.rate));

    // A trace of 2 GB, 100 million writes (some 25 minutes at full speed), made in the build tree and then removed.
    const std::string large = selfPath() + ".large.trace";
    longTrace(large, 100000000);
    const Cost whole = cost(simulador, {"--analizar", large});
    unlink(large.c_str());
    std::printf("simulador --analizar of a 2 GB trace, 100 million writes: %.0f s of processor time, at most %.0f MB "
                "of memory (target: under 256 MB)\n", whole.seconds, whole.megabytes);
    return 0;
}
