// The actions of vueltas, with no widget: each runs to its end on the caller's
// thread, writing through the port and spacing the writes with reta.
#pragma once

#include "clock.h"
#include "motor.h"
#include "port.h"

#include <functional>
#include <string>
#include <string_view>

namespace vueltas {

constexpr long kRetaBound = 30000;
constexpr int kMaxTurns = 32767 / motor::kPulsesPerTurn;  // 341

// Lenient number reading: blanks, tabs and line feeds are ignored anywhere;
// an optional sign, digits with at most one full stop, an optional exponent
// (E or D, either case); reading stops at the first character that can't go on.
// No number at the head reads as 0.
double readNumber(std::string_view text);

// The pulses for a turns text: the text read as turns, times 96, rounded to
// the nearest, halves to the even neighbour.
// Throws InputError, before any pulse, when the product is not finite or the
// count doesn't fit in -32768..32767.
int pulseCount(std::string_view text);

class Turns {
public:
    explicit Turns(motor::Port &port) : port_(port) {}

    void arranque();                               // puerto = 888, write 0
    void giroDerecha();                            // 96 pulses 1/0, then 0
    void giroIzquierda();                          // 96 pulses 3/2, then 0
    void moverDerecha(std::string_view texto);     // pulses 1/0, no final write
    void moverIzquierda(std::string_view texto);   // pulses 3/2, no final write
    void salir();                                  // write 0; the caller ends the program

    long reta();  // one delay of 30001 passes; returns the passes made

    short puerto = 0;

    // A slowed move (PARPORT_SLOWDOWN) can last minutes, and must still let
    // a person leave: when this is set (the window sets it at start-up, for
    // slowed traffic only), between pulses, once kLook has passed since the
    // move began or since it last asked, the move asks it. When it answers
    // yes the move stops there, at the end of a pulse with the step line low,
    // and makes no final write. Unset, a move looks at nothing, however long:
    // it runs to its end, and input given meanwhile is handled after it.
    std::function<bool()> stopRequested;
    static constexpr unsigned long long kLook = 50000000;  // ns
    std::function<unsigned long long()> clock = monotonicNow;

private:
    void pulso(motor::Pattern pattern);
    bool pulsos(motor::Pattern pattern, int count);  // false when stopped on request
    void giro(motor::Pattern pattern);
    void mover(motor::Pattern pattern, std::string_view texto);

    motor::Port &port_;
};

}  // namespace vueltas
