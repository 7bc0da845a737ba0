#include "rotation.h"

#include <QCoreApplication>
#include <ctime>

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

void Rotation::rotar(motor::Pattern pattern)
{
    pattern_ = pattern;
    next_ = 0;
    if (running_)
        return;
    running_ = true;
    stopped_ = false;
    struct Done {
        bool &running;
        ~Done() { running = false; }
    } done{running_};
    for (long step = 0; step != halfStepLimit && !stopped_; ++step) {
        port_.write(puerto, next_ == 0 ? pattern_.first : pattern_.second);
        next_ ^= 1;
        reta();
        pump_();
    }
}

void EventPump::operator()()
{
    constexpr long long kFullEvery = 1000000;  // ns
    QCoreApplication::sendPostedEvents();
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    if (ns - lastFull_ >= kFullEvery) {
        lastFull_ = ns;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

}  // namespace rotacion
