// The stepping loop of rotacion, with no widget: it turns the motor without
// end, pumping the window's events after every half-step; that is where the
// speed, the other direction, the menu and exit are handled.
#pragma once

#include "motor.h"
#include "port.h"

#include <functional>

namespace rotacion {

constexpr long kSpeedFactor = 300;

class Rotation {
public:
    Rotation(motor::Port &port, std::function<void()> pump) : port_(port), pump_(std::move(pump)) {}

    void arranque();  // puerto = 888, write 0
    void salir();     // write 0, and the running rotation writes nothing more

    // Rotates with `pattern` until stop(). Called while a rotation runs (from
    // its pump), it starts no second loop: it writes the new pattern's first
    // value and runs its delay right here, in the order of the input, and
    // returns; the running loop goes on with the second value.
    void rotar(motor::Pattern pattern);

    // The running rotation writes nothing more and returns after its pump.
    void stop() { stopped_ = true; }
    bool rotating() const { return running_; }

    // One delay of velocidad × 300 + 1 passes, velocidad read at each call.
    long reta() { return port_.delay(static_cast<long>(velocidad) * kSpeedFactor); }

    short puerto = 0;
    int velocidad = 0;  // 0 until start-up sets the speed bar

    // Tests: a rotation returns after this many half-step writes, those of
    // direction changes included (negative: never).
    long halfStepLimit = -1;

private:
    // One write and its delay, unless the rotation is over; false when it is.
    bool halfStep(short value);

    motor::Port &port_;
    std::function<void()> pump_;
    motor::Pattern pattern_{0, 0};
    int next_ = 0;  // 0: the pattern's first value is the next write, 1: its second
    bool running_ = false;
    bool stopped_ = false;
    long steps_ = 0;  // half-step writes since the rotation started
};

// The event pump after each half-step. Events posted to the program are
// delivered every time (a few nanoseconds when there are none); the window
// system's own queue is read in full when a millisecond has passed since it
// last was, because reading it costs a system call, about 2 µs here, which
// would be a tenth of the shortest half-step. A millisecond is far below what
// a hand on the mouse can tell.
class EventPump {
public:
    void operator()();

private:
    long long lastFull_ = 0;
};

}  // namespace rotacion
