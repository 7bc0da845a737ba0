#include "rotation.h"
#include "clock.h"

#include <QCoreApplication>

namespace rotacion {

void Rotation::arranque()
{
    puerto = motor::kPuerto;
    port_.write(puerto, 0);
}

void Rotation::salir()
{
    port_.write(puerto, 0);
    stop();
}

bool Rotation::halfStep(short value)
{
    if (stopped_ || steps_ == halfStepLimit)
        return false;
    ++steps_;
    port_.write(puerto, value);
    reta();
    return true;
}

void Rotation::rotar(motor::Pattern pattern)
{
    pattern_ = pattern;
    if (running_) {
        // Inside the running loop's pump: the new first value can't wait for
        // the rest of the pump, whose later input (exit, speed) comes after it.
        if (halfStep(pattern_.first))
            next_ = 1;
        return;
    }
    running_ = true;
    stopped_ = false;
    steps_ = 0;
    next_ = 0;
    struct Done {
        bool &running;
        ~Done() { running = false; }
    } done{running_};
    while (halfStep(next_ == 0 ? pattern_.first : pattern_.second)) {
        next_ ^= 1;
        pump_();
    }
}

void EventPump::operator()()
{
    constexpr long long kFullEvery = 1000000;  // ns
    QCoreApplication::sendPostedEvents();
    const long long ns = static_cast<long long>(monotonicNow());
    if (ns - lastFull_ >= kFullEvery) {
        lastFull_ = ns;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

}  // namespace rotacion
