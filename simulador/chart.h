// The chart of simulador --analizar --grafico: against time, where the pulses
// asked the rotor to be and where it was, the load angle, and a mark at each
// slip, so a person sees where and why steps were lost. Drawn by Qt's own
// painter into an image; no window.
#pragma once

#include "chartdata.h"

#include <QImage>
#include <QString>
#include <vector>

namespace simulador {

using model::ChartRecorder;

// The chart, `title` above it, `summary` below the title.
QImage drawChart(const ChartRecorder &recorder, const QString &title, const QString &summary);

}  // namespace simulador
