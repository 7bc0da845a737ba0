// simulador: shows the motor that a driver board on the port would turn, from
// what the port library publishes. Start it before or after the programs.
#include "analyze.h"
#include "application.h"
#include "launch.h"
#include "usage.h"
#include "window.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (const int status = answerCommandLine(argc, argv, "simulador", simulador::details()); status >= 0)
        return status;
    if (const int status = simulador::analyzeCommand(argc, argv); status >= 0)
        return status;
    if (const int status = simulador::launch(argc, argv); status >= 0)
        return status;
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("motorpasos"));  // its settings: ~/.config/motorpasos/simulador.conf
    app.setApplicationName(QStringLiteral("simulador"));
    translateQt();
    std::string error;
    simulador::MappedArea area;
    if (!area.map(published::areaFrom(std::getenv("PARPORT_PUBLISH")), error)) {
        // publishing is off, or the area is not one this viewer knows
        std::fprintf(stderr, "simulador: %s\n", error.c_str());
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Simulador"), QString::fromStdString(error));
        box.setTextFormat(Qt::PlainText);  // it names a file: not markup
        box.exec();
        return 1;
    }
    simulador::SimuladorWindow window(std::move(area));
    window.show();
    // Started by a launcher: it starts its program once this window is on the screen, and says so when it could
    // not, and this viewer then leaves with it (launch.h).
    simulador::ViewerPipes &pipes = simulador::viewerPipes();
    QTimer onScreen;
    QObject::connect(&onScreen, &QTimer::timeout, [&] {
        if (window.windowHandle() && window.windowHandle()->isExposed())
            pipes.shown.closeCopy(), onScreen.stop();
    });
    if (pipes.shown)
        onScreen.start(10);
    QSocketNotifier heard(pipes.started ? pipes.started.get() : 0, QSocketNotifier::Read);
    heard.setEnabled(bool(pipes.started));
    QObject::connect(&heard, &QSocketNotifier::activated, [&] {
        char byte;
        const ssize_t n = read(pipes.started.get(), &byte, 1);
        if (n > 0)
            QCoreApplication::exit(0);
        else if (n == 0)
            heard.setEnabled(false), pipes.started.closeCopy();  // it started
    });
    return app.exec();
}
