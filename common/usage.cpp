#include "usage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string helpText(const std::string &program)
{
    std::string text;
    if (program == "simulador")
        text = "simulador: muestra el motor que movería una placa de paso y dirección con lo\n"
               "que vueltas y rotacion escriben en el puerto paralelo.\n"
               "Uso: simulador                abre el visor\n"
               "     simulador --con PROGRAMA abre el visor, si no hay ya uno mirando ese puerto,\n"
               "                              y arranca PROGRAMA (vueltas o rotacion), en el\n"
               "                              puerto simulado si PARPORT no dice otro\n"
               "     simulador --analizar FICHERO [--motor NOMBRE|FICHERO.ini] [--grafico FICHERO.png]\n"
               "                              dice si un motor seguiría la traza FICHERO\n"
               "                              (PARPORT_TRACE o .vcd), cuántos pasos perdería y\n"
               "                              qué PARPORT_SLOWDOWN basta para que la siga\n";
    else
        text = program + ": gira un motor de pasos " +
               (program == "vueltas" ? "vueltas completas o un número de vueltas"
                                     : "sin fin, a la velocidad que se elija") +
               ",\npor una placa de paso y dirección en el puerto paralelo (dirección 888).\n"
               "Se maneja desde su ventana; no toma argumentos.\n";
    return text +
           "\nAjustes de la biblioteca del puerto (variables de entorno):\n"
           "  PARPORT           sim: un puerto simulado; sin definir: el puerto paralelo\n"
           "  PARPORT_PUBLISH   dónde lo ve el visor (sin definir: memoria compartida; 0: no)\n"
           "  PARPORT_SLOWDOWN  N de 1 a 100000: cada espera entre escrituras, N veces más\n"
           "  PARPORT_TRACE     FICHERO donde anotar cada escritura (acabado en .vcd: en VCD)\n"
           "\nSin hardware: simulador --con vueltas (o rotacion) abre el programa en el\n"
           "puerto simulado y el visor, que muestra el motor que giraría.\n"
           "Más: man vueltas, man rotacion, man simulador.\n";
}

std::string versionText(const std::string &program) { return program + " (motorpasos) " MOTOR_VERSION "\n"; }

int answerCommandLine(int argc, char **argv, const char *program)
{
    for (int i = 1; i < argc; ++i) {
        const bool help = !std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h");
        if (!help && std::strcmp(argv[i], "--version"))
            continue;
        const std::string text = help ? helpText(program) : versionText(program);
        if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0)
            return 0;
        std::fprintf(stderr, "%s: no se pudo escribir en la salida estándar: %s.\n", program, std::strerror(errno));
        return 1;
    }
    return -1;
}
