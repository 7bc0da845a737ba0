// The rotacion loop: what its event pump costs when nothing is pending, and
// what a half-step costs beyond its delay at speeds 200 and 3000. Run with
// the port settings in the environment (bench.sh uses the simulated port
// with the trace on); the window is drawn off screen.
#include "bench.h"
#include "form1.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    motor::ParallelPort port;
    rotacion::EventPump pump;
    Form1 form(port, [&] { pump(); });
    form.show();
    for (int i = 0; i < 100; ++i)
        QCoreApplication::processEvents();

    const int writes = 100000, pumps = 200000, full = 20000;
    const double writeNs = median(5, [&] {
        for (int i = 0; i < writes; ++i)
            port.write(888, short(i & 1));
    }) / writes * 1e9;
    const double pumpNs = median(5, [&] {
        for (int i = 0; i < pumps; ++i)
            pump();
    }) / pumps * 1e9;
    const double fullNs = median(5, [&] {
        for (int i = 0; i < full; ++i)
            QCoreApplication::processEvents();
    }) / full * 1e9;
    std::printf("rotacion write (this port):         %8.1f ns\n", writeNs);
    std::printf("rotacion event pump, idle:          %8.1f ns (one full processEvents(): %.1f ns)\n", pumpNs, fullNs);

    rotacion::Rotation &loop = form.rotation();
    for (int speed : {200, 3000}) {
        const long steps = speed == 200 ? 200 : 20;
        loop.velocidad = speed;
        loop.halfStepLimit = steps;
        auto delaysOnly = [&] {
            for (long i = 0; i < steps; ++i)
                loop.reta();
        };
        const double delays = median(21, delaysOnly) / steps;
        const double measured = overheadPercent(101, delaysOnly, [&] { loop.rotar(motor::kRotacionRight); });
        std::printf("rotacion half-step at speed %4d:   %8.2f %% beyond its delay of %.1f us (write and pump%s); "
                    "%.2f %% timed end to end\n",
                    speed, (writeNs + pumpNs) / (delays * 1e9) * 100, delays * 1e6,
                    speed == 200 ? "; target: at most 3 %" : "", measured);
    }
    return 0;
}
