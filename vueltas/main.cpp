// vueltas: turns a stepper motor by whole turns, or by a typed number of turns.
#include "application.h"
#include "form1.h"

int main(int argc, char **argv)
{
    Application app(argc, argv, QStringLiteral("Control de un Motor de Pasos: Vueltas"));
    app.setApplicationName(QStringLiteral("vueltas"));
    motor::ParallelPort port;
    Form1 *form = nullptr;
    if (!Application::guard([&] { form = new Form1(port); }))
        return 1;  // start-up could not reach the port: already reported
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->show();
    return app.exec();
}
