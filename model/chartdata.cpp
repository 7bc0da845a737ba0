#include "chartdata.h"

#include <algorithm>

namespace model {

ChartRecorder::ChartRecorder(unsigned long long start, unsigned long long end, int columns)
    : start_(start), end_(std::max(end, start + 1)), columns_(size_t(std::max(columns, 1)))
{
}

unsigned long long ChartRecorder::sampleEvery() const
{
    return std::max<unsigned long long>(1, (end_ - start_) / columns_.size() / 2);
}

void ChartRecorder::observe(const MotorModel &model)
{
    const unsigned long long t = std::clamp(model.time(), start_, end_);
    const double share = double(t - start_) / double(end_ - start_);
    const size_t at = std::min(columns_.size() - 1, size_t(share * double(columns_.size())));
    Column &column = columns_[at];
    const double commanded = double(model.commandedSteps()), rotor = model.rotorSteps();
    const double angle = model.loadAngle() * 180 / kPi;
    if (!column.seen) {
        column = {true, commanded, commanded, rotor, rotor, angle, angle, column.slips};
    } else {
        column.commandedLow = std::min(column.commandedLow, commanded);
        column.commandedHigh = std::max(column.commandedHigh, commanded);
        column.rotorLow = std::min(column.rotorLow, rotor);
        column.rotorHigh = std::max(column.rotorHigh, rotor);
        column.angleLow = std::min(column.angleLow, angle);
        column.angleHigh = std::max(column.angleHigh, angle);
    }
    column.slips += int(model.slips() - slips_);
    slips_ = model.slips();
}

}  // namespace model
