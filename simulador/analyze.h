// simulador --analizar FICHERO [--motor NOMBRE|FICHERO.ini] [--grafico FICHERO.png]:
// whether a motor would follow a trace recorded at the bench, how many steps
// it would lose, and what slowdown would make it follow. No window.
#pragma once

namespace simulador {

// When --analizar is among the arguments, runs the analysis and returns the
// status to end with: 0 the motor follows, 3 it loses steps, 1 a file can't be
// read (or the chart written), 2 the arguments are wrong. Otherwise -1.
int analyzeCommand(int argc, char **argv);

}  // namespace simulador
