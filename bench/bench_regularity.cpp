// How even the programs' half-steps are, against the machine's own floor: a
// bare loop of the same delays in the same process. The gaps between writes
// of a vueltas move of 300 turns and of rotacion at speed 200, and of each
// bare loop, idle and with every core busy with a spinning process that this
// benchmark starts and stops itself. Run with the port settings in the
// environment (bench.sh uses the simulated port, published, no trace); the
// rotacion window is drawn off screen.
#include "clock.h"
#include "form1.h"
#include "port.h"
#include "regularity.h"
#include "../vueltas/turns.h"  // by its folder: vueltas has a form1.h of its own

#include <QApplication>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

unsigned long long now() { return monotonicNow(); }

// The library's port, with the time after each write: what the viewer would
// be given for it, without the ring between.
class StampedPort final : public motor::Port {
public:
    explicit StampedPort(std::size_t writes) { stamps.reserve(writes); }
    void write(short address, short value) override
    {
        port_.write(address, value);
        stamps.push_back(now());
    }
    long delay(long bound) override { return port_.delay(bound); }
    std::vector<unsigned long long> stamps;

private:
    motor::ParallelPort port_;
};

std::vector<unsigned long long> gaps(const std::vector<unsigned long long> &stamps)
{
    std::vector<unsigned long long> between;
    for (std::size_t i = 1; i < stamps.size(); ++i)
        between.push_back(stamps[i] - stamps[i - 1]);
    return between;
}

// The same delays and the same stamps, nothing else: the machine's floor.
std::vector<unsigned long long> bare(long halfSteps, long bound, int delays)
{
    std::vector<unsigned long long> stamps;
    stamps.reserve(std::size_t(halfSteps));
    for (long i = 0; i < halfSteps; ++i) {
        stamps.push_back(now());
        for (int d = 0; d < delays; ++d)
            motor::countPasses(bound);
    }
    return gaps(stamps);
}

void row(const char *load, const char *what, const simulador::Regularity &r, const simulador::Regularity *floor)
{
    std::printf("%-5s %-16s %7zu %8.1f %8.1f %8.1f %9.1f %5.1f%%", load, what, r.gaps, r.median / 1e3, r.p99 / 1e3,
                r.p999 / 1e3, r.longest / 1e3, 100.0 * double(r.overTwice) / double(r.gaps));
    if (floor)
        std::printf("  %5.2f %5.2f %6.2f %6.2f", double(r.median) / double(floor->median),
                    double(r.p99) / double(floor->p99),
                    double(r.p999) / double(floor->p999), double(r.longest) / double(floor->longest));
    std::printf("\n");
}

// One spinning process per core, until stopped.
std::vector<pid_t> spin()
{
    std::vector<pid_t> spinners;
    for (long i = sysconf(_SC_NPROCESSORS_ONLN); i > 0; --i) {
        const pid_t pid = fork();
        if (pid == 0)
            for (volatile unsigned long n = 0;; n = n + 1) {
            }
        if (pid > 0)
            spinners.push_back(pid);
    }
    return spinners;
}

void stop(const std::vector<pid_t> &spinners)
{
    for (pid_t pid : spinners)
        kill(pid, SIGKILL);
    for (pid_t pid : spinners)
        waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    constexpr int kTurns = 300;
    constexpr long kVueltasHalfSteps = 2L * kTurns * motor::kPulsesPerTurn, kRotacionHalfSteps = 100000;
    constexpr int kSpeed = 200;

    StampedPort port(kVueltasHalfSteps + kRotacionHalfSteps + 8);
    vueltas::Turns turns(port);
    turns.arranque();
    rotacion::EventPump pump;
    Form1 form(port, [&] { pump(); });
    form.show();
    for (int i = 0; i < 100; ++i)
        QCoreApplication::processEvents();
    rotacion::Rotation &loop = form.rotation();

    std::printf("gaps between writes in µs; 2×p50+: the share over twice the median; the last four columns: the "
                "program's figure over that of the bare loop of the same delays just above it\n");
    std::printf("%-5s %-16s %7s %8s %8s %8s %9s %6s  %5s %5s %6s %6s\n", "load", "half-steps of", "gaps", "p50", "p99",
                "p99.9", "longest", "2×p50+", "p50", "p99", "p99.9", "long.");
    for (const char *load : {"idle", "busy"}) {
        const std::vector<pid_t> spinners = load[0] == 'b' ? spin() : std::vector<pid_t>();
        const simulador::Regularity vueltasFloor =
            simulador::regularity(bare(kVueltasHalfSteps, vueltas::kRetaBound, 2));
        row(load, "bare loop", vueltasFloor, nullptr);
        port.stamps.clear();
        turns.moverDerecha(std::to_string(kTurns));
        row(load, "vueltas 300", simulador::regularity(gaps(port.stamps)), &vueltasFloor);

        const simulador::Regularity rotacionFloor =
            simulador::regularity(bare(kRotacionHalfSteps, long(kSpeed) * rotacion::kSpeedFactor, 1));
        row(load, "bare loop", rotacionFloor, nullptr);
        port.stamps.clear();
        loop.velocidad = kSpeed;
        loop.halfStepLimit = kRotacionHalfSteps;
        loop.rotar(motor::kRotacionRight);
        row(load, "rotacion 200", simulador::regularity(gaps(port.stamps)), &rotacionFloor);
        stop(spinners);
    }
    turns.salir();
    return 0;
}
