// rotacion: turns a stepper motor without end, at a speed set while it turns.
#include "application.h"
#include "form1.h"

int main(int argc, char **argv)
{
    return Application::run(argc, argv, "rotacion", QStringLiteral("Control de un Motor de Pasos: Rotacion"),
                            [](motor::Port &port) { return std::make_unique<Form1>(port, rotacion::EventPump()); });
}
