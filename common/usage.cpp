#include "usage.h"
#include "pacing.h"
#include "reason.h"
#include "where.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Where to read more, from where the program runs: installed, its manual
// pages and documents; from its build tree, the same in the source tree.
std::string more()
{
    const std::string source = sourceTree();
    if (source.empty())
        return "Más: man vueltas, man rotacion, man simulador, y /usr/share/doc/motorpasos/ (README.md;\n"
               "LEEME.md en español).\n";
    return "Más (sin instalar): man -l " + quoted(source + "/packaging/vueltas.1") + " (rotacion.1,\n"
           "simulador.1; en español, vueltas.es.1…), y " + quoted(source + "/LEEME.md") + ".\n";
}

}  // namespace

std::string helpText(const std::string &program, const std::string &details)
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
    text += details;
    if (program == "vueltas")
        text += "\n«Der» e «Izq» dan (vueltas de la caja) × 96 pulsos, redondeado al entero más cercano,\n"
                "las mitades al par: 0.5 vueltas son 48 pulsos y 0.004 vueltas, ninguno; una cuenta de 0\n"
                "o menos no da ningún pulso. El decimal es el punto: «2,5» se lee 2 (la coma acaba el\n"
                "número). Una cuenta de más de 32767 pulsos, o de menos de -32768, se rechaza con un mensaje.\n";
    return text +
           "\nAjustes de la biblioteca del puerto (variables de entorno):\n"
           "  PARPORT           a dónde van las escrituras:\n"
           "    (sin definir)       el primer puerto paralelo, por ppdev (sin root: el grupo lp)\n"
           "    /dev/parportN       ese puerto paralelo, por ppdev\n"
           "    io                  E/S directa a la dirección 888 (root o CAP_SYS_RAWIO; sólo x86)\n"
           "    sim                 un puerto simulado, sin hardware\n"
           "    gpio:CHIP:STEP,DIR  dos líneas GPIO de una placa Linux, la de paso y la de dirección,\n"
           "                        p. ej. gpio:gpiochip0:17,27 (chip y líneas por nombre o número)\n"
           "  PARPORT_TRACE     FICHERO donde anotar cada escritura (acabado en .vcd: en VCD)\n"
           "  PARPORT_SLOWDOWN  N " + traffic::slowdownRange() + ": cada espera entre escrituras, N veces más\n"
           "  PARPORT_MAXRATE   R " + traffic::rateRange() + ": nunca más de R pulsos de paso por segundo\n"
           "  PARPORT_PUBLISH   dónde lo ve el visor: sin definir, memoria compartida; 0, en ninguna\n"
           "                    parte; otro valor, ese fichero\n"
           "\nSin hardware: " + viewerCommand("vueltas") + " (o rotacion) abre el programa en\n"
           "el puerto simulado y el visor, que muestra el motor que giraría.\n" + more();
}

std::string versionText(const std::string &program) { return program + " (motorpasos) " MOTOR_VERSION "\n"; }

int answerCommandLine(int argc, char **argv, const char *program, const std::string &details)
{
    for (int i = 1; i < argc; ++i) {
        const bool help = !std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h");
        if (!help && std::strcmp(argv[i], "--version"))
            continue;
        const std::string text = help ? helpText(program, details) : versionText(program);
        if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0)
            return 0;
        std::fprintf(stderr, "%s: no se pudo escribir en la salida estándar: %s.\n", program, traffic::reason(errno).c_str());
        return 1;
    }
    return -1;
}
