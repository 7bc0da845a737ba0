// The kernel tests' program: vueltas' start-up, a turn right, a move left of argv[1] turns (or 1) and its exit, on the
// port library loaded as the programs load it; a failure's message and status 1.
#include "errors.h"
#include "turns.h"

#include <cstdio>

int main(int argc, char **argv)
try {
    motor::ParallelPort port;
    vueltas::Turns turns(port);
    turns.arranque();
    turns.giroDerecha();
    turns.moverIzquierda(argc > 1 ? argv[1] : "1");
    turns.salir();
} catch (const FatalError &error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
}
