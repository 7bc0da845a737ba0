// vueltas: turns a stepper motor by whole turns, or by a typed number of turns.
#include "application.h"
#include "form1.h"

int main(int argc, char **argv)
{
    return Application::run(argc, argv, "vueltas", QStringLiteral("Control de un Motor de Pasos: Vueltas"),
                            [](motor::Port &port) { return std::make_unique<Form1>(port); });
}
