// The chart of simulador --analizar --grafico: against time, where the pulses
// asked the rotor to be and where it was, the load angle, and a mark at each
// slip, so a person sees where and why steps were lost. Drawn by Qt's own
// painter into an image; no window.
#pragma once

#include "stepper.h"

#include <QImage>
#include <QString>
#include <vector>

namespace simulador {

// What the chart shows, gathered from the model as it runs: per column of
// the chart, the least and the most of each figure.
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

// The chart, `title` above it, `summary` below the title.
QImage drawChart(const ChartRecorder &recorder, const QString &title, const QString &summary);

}  // namespace simulador
