// simulador: shows the motor that a driver board on the port would turn, from
// what the port library publishes. Start it before or after the programs.
#include "application.h"
#include "window.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("simulador"));
    translateQt();
    std::string error;
    published::Area *area = published::mapArea(published::areaFrom(std::getenv("PARPORT_PUBLISH")), error);
    if (!area) {  // publishing is off, or the area is not one this viewer knows
        std::fprintf(stderr, "simulador: %s\n", error.c_str());
        QMessageBox::critical(nullptr, QStringLiteral("Simulador"), QString::fromStdString(error));
        return 1;
    }
    simulador::SimuladorWindow window(*area);
    window.show();
    return app.exec();
}
