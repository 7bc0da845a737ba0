// What the chart of simulador --analizar --grafico shows, gathered from the
// model as it runs: the moves it frames, with the long rests between them
// cut out of the time axis, and per column of each, the least and the most
// of where the pulses asked the rotor to be, where it was and its load angle,
// and the slips. Plain figures; the drawing is the viewer's. No Qt.
#pragma once

#include "following.h"

#include <vector>

namespace model {

// A stretch of time the chart shows, ns: a move, from its first write until
// the rotor is at rest after its last, with a margin where there is room.
struct ChartSpan {
    unsigned long long from, to;
    unsigned long long begins;  // the move's first write
    bool stepped;               // whether it made a step
};

// A rest longer than this, the rotor still and nothing written, parts two
// moves, and is cut out of the chart: as the viewer tells one move from the
// next.
constexpr unsigned long long kChartRest = 200000000;  // 0.2 s
// At most this many moves side by side; past it the closest are joined, with
// the rest between them.
constexpr size_t kChartMoves = 16;

// The stretches of `writes` worth drawing: each move that makes a step (or,
// with none, all of them at once), as the model on a board of these rules
// runs over them as they were recorded.
std::vector<ChartSpan> chartSpans(const MotorParams &motor, const WriteLog &writes, DriverSettings driver = {});

class ChartRecorder {
public:
    // `columns` shared among the spans by their length, each some at least; `start` and `last`: the file's first
    // write and its last.
    ChartRecorder(std::vector<ChartSpan> spans, int columns, unsigned long long start, unsigned long long last);
    void observe(const MotorModel &model);
    // When to look next after `now`, in ns: twice a column; in a cut, where the next panel begins.
    unsigned long long nextLook(unsigned long long now) const;

    struct Column {
        bool seen = false;
        double commandedLow, commandedHigh, rotorLow, rotorHigh, angleLow, angleHigh;  // steps; electrical degrees
        int slips = 0;
    };
    // A span and its columns.
    struct Panel {
        ChartSpan span;
        size_t first, count;
    };
    const std::vector<Column> &columns() const { return columns_; }
    const std::vector<Panel> &panels() const { return panels_; }
    unsigned long long start() const { return start_; }  // the first write's time
    unsigned long long last() const { return lastWrite_; }  // the last's
    // The panel `time` is in: its index, or the next one's in a cut; panels().size() past the last.
    size_t panelAt(unsigned long long time) const;

private:
    std::vector<Column> columns_;
    std::vector<Panel> panels_;
    unsigned long long start_ = 0, lastWrite_ = 0;
    long slips_ = 0;
    size_t last_ = 0;  // the column last seen, where a slip between panels is shown
};

}  // namespace model
