// rotacion: turns a stepper motor without end, at a speed set while it turns.
#include "application.h"
#include "form1.h"

#include <QIcon>
#include <memory>

int main(int argc, char **argv)
{
    Application app(argc, argv, QStringLiteral("Control de un Motor de Pasos: Rotacion"));
    app.setApplicationName(QStringLiteral("rotacion"));
    app.setWindowIcon(QIcon::fromTheme(QStringLiteral("rotacion")));  // installed with the program
    motor::ParallelPort port;
    // The window lives until main returns, never deleted while a handler of
    // its own may still be running beneath the event loop.
    std::unique_ptr<Form1> form;
    if (!Application::guard([&] { form = std::make_unique<Form1>(port, rotacion::EventPump()); }))
        return 1;  // start-up could not reach the port: already reported
    form->show();
    return app.exec();
}
