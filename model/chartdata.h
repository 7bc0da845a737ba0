// What the chart of simulador --analizar --grafico shows, gathered from the
// model as it runs: per column of the chart, the least and the most of where
// the pulses asked the rotor to be, where it was and its load angle, and the
// slips. Plain figures; the drawing is the viewer's. No Qt.
#pragma once

#include "stepper.h"

#include <vector>

namespace model {

class ChartRecorder {
public:
    ChartRecorder(unsigned long long start, unsigned long long end, int columns);
    void observe(const MotorModel &model);
    // How often to look between writes, in ns: twice a column.
    unsigned long long sampleEvery() const;

    struct Column {
        bool seen = false;
        double commandedLow, commandedHigh, rotorLow, rotorHigh, angleLow, angleHigh;  // steps; electrical degrees
        int slips = 0;
    };
    const std::vector<Column> &columns() const { return columns_; }
    unsigned long long start() const { return start_; }
    unsigned long long end() const { return end_; }

private:
    unsigned long long start_, end_;
    std::vector<Column> columns_;
    long slips_ = 0;
};

}  // namespace model
