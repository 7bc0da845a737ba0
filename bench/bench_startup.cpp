// How long vueltas takes to start, against a bare Qt window of six buttons:
// whole processes, from fork to exit, each quitting as soon as its event loop
// is reached. The vueltas side runs the program's own start-up (Application::run
// with its window, on the simulated port), so it is the code a user starts.
//
//   bench_startup           runs both, alternating, and prints the medians
//   bench_startup bare      one start of the bare window
//   bench_startup vueltas   one start of vueltas
#include "application.h"
#include "bench.h"
#include "form1.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Quits as soon as the event loop runs its first round.
void quitAtEventLoop() { QTimer::singleShot(0, qApp, &QCoreApplication::quit); }

int startBare(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    for (int i = 0; i < 6; ++i)
        (new QPushButton(QStringLiteral("Botón %1").arg(i + 1), &window))->move(10, 10 + 30 * i);
    window.show();
    quitAtEventLoop();
    return app.exec();
}

int startVueltas(int argc, char **argv)
{
    return Application::run(argc, argv, "vueltas", QStringLiteral("Control de un Motor de Pasos: Vueltas"),
                            [](motor::Port &port) {
                                quitAtEventLoop();  // armed before the window; it fires only in the loop
                                return std::make_unique<Form1>(port);
                            });
}

std::string self;

// Seconds from fork to the child's exit, which must be clean.
double start(const char *mode)
{
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        (void)!std::freopen("/dev/null", "w", stderr);  // Qt's notices are not what is measured
        execl(self.c_str(), self.c_str(), mode, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_startup: the %s start failed\n", mode);
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "bare") == 0)
        return startBare(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "vueltas") == 0)
        return startVueltas(argc, argv);

    self = selfPath();
    // Both draw off screen; vueltas publishes to a file of its own beside this
    // program, so it meets no other program on the simulated port.
    const std::string area = self + ".area";
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("PARPORT", "sim", 1);
    setenv("PARPORT_TRACE", "", 1);
    setenv("PARPORT_PUBLISH", area.c_str(), 1);

    const int rounds = 21;
    start("bare");  // the first start of each also loads the files into the page cache
    start("vueltas");
    std::vector<double> bareTimes, vueltasTimes, ratios;
    for (int i = 0; i < rounds; ++i) {
        const double b = start("bare"), v = start("vueltas");
        bareTimes.push_back(b);
        vueltasTimes.push_back(v);
        ratios.push_back(v / b);
    }
    unlink(area.c_str());
    unlink((area + ".lock").c_str());
    const double b = middle(bareTimes), v = middle(vueltasTimes);
    std::printf("start-up to the event loop, whole process, off screen (median of %d):\n", rounds);
    std::printf("  bare window, six buttons:  %6.1f ms\n", b * 1e3);
    std::printf("  vueltas, simulated port:   %6.1f ms\n", v * 1e3);
    std::printf("  ratio: %.2f (median of the rounds' ratios %.2f; target: at most 1.2)\n", v / b, middle(ratios));
    return 0;
}
