// The kernel test's program: vueltas' start-up, a full turn right, a counted move left (argv[1] turns,
// or 1) and its exit, loading the port library as the programs do; a failure's message and status 1.
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
