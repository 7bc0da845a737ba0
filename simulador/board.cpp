#include "board.h"

namespace simulador {

void Board::feed(int value)
{
    const int pulse = value & 1, direction = (value >> 1) & 1;
    const bool edge = settings.fallingEdge ? (pulse_ == 1 && pulse == 0) : (pulse_ == 0 && pulse == 1);
    if (known_ && edge) {
        lastSense_ = (direction == 0) == settings.lowIsClockwise ? 1 : -1;
        position_ += lastSense_;
        ++steps_;
    }
    known_ = true;
    pulse_ = pulse;
    direction_ = direction;
}

double Board::angle() const
{
    const long step = ((position_ % kStepsPerTurn) + kStepsPerTurn) % kStepsPerTurn;
    return 360.0 * step / kStepsPerTurn;
}

}  // namespace simulador
