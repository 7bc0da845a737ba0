#include "chartdata.h"

#include <algorithm>

namespace model {

std::vector<ChartSpan> chartSpans(const MotorParams &motor, const WriteLog &writes, DriverSettings driver)
{
    // The moves as the rotor lived them: a move goes on while writes come, or the rotor has not yet come to rest,
    // or it rested no longer than kChartRest; it ends where the rotor came to rest after its last write (ringing on,
    // at most 5 s after it).
    std::vector<ChartSpan> spans;
    MotorModel model(motor, driver);
    WriteLog::Reader reader = writes.reader();
    unsigned long long last = 0;
    long pulses = 0;
    const auto end = [&](unsigned long long rest) {
        spans.back().to = std::max(rest, spans.back().from + 1);
        spans.back().stepped = model.pulses() > pulses;
    };
    for (PortWrite write; reader.next(write);) {
        model.advanceTo(write.time);
        const unsigned long long rest = std::max(last, model.restedAt());
        if (spans.empty() || (model.settled() && write.time - rest > kChartRest)) {
            if (!spans.empty())
                end(rest);
            spans.push_back({write.time, write.time, write.time, false});
            pulses = model.pulses();
        }
        model.feed(write.time, write.value);
        last = write.time;
    }
    if (spans.empty())
        return {};
    while (!model.settled() && model.time() < last + 5000000000ULL)
        model.advanceTo(model.time() + 10000000);
    end(model.settled() ? std::max(last, model.restedAt()) : model.time());
    const bool any = std::any_of(spans.begin(), spans.end(), [](const ChartSpan &span) { return span.stepped; });
    // Only the moves with steps, when there are any; else the whole.
    if (!any)
        return {{spans.front().from, spans.back().to, spans.front().from, false}};
    spans.erase(std::remove_if(spans.begin(), spans.end(), [](const ChartSpan &span) { return !span.stepped; }),
                spans.end());
    // Too many side by side: the two closest joined, with the rest between them.
    while (spans.size() > kChartMoves) {
        size_t closest = 0;
        for (size_t i = 1; i + 1 < spans.size(); ++i)
            if (spans[i + 1].from - spans[i].to < spans[closest + 1].from - spans[closest].to)
                closest = i;
        spans[closest].to = spans[closest + 1].to;
        spans.erase(spans.begin() + long(closest) + 1);
    }
    // A margin of a tenth of its length on either side, where there is room: none before the file's first write,
    // half the rest at most between two moves.
    const unsigned long long first = writes.front().time;
    for (size_t i = 0; i < spans.size(); ++i) {
        const unsigned long long margin = (spans[i].to - spans[i].from) / 10;
        const unsigned long long before = i ? (spans[i].from - spans[i - 1].to) / 2 : spans[i].from - first;
        const unsigned long long after = i + 1 < spans.size() ? (spans[i + 1].from - spans[i].to) / 2 : margin;
        spans[i].from -= std::min(margin, before);
        spans[i].to += std::min(margin, after);
    }
    return spans;
}

ChartRecorder::ChartRecorder(std::vector<ChartSpan> spans, int columns, unsigned long long start,
                             unsigned long long last)
    : start_(start), lastWrite_(last)
{
    if (spans.empty())
        spans.push_back({start, start + 1, start, false});
    // Each span its share of the columns by its length, but at least a third of an even share.
    double total = 0;
    for (const ChartSpan &span : spans)
        total += double(span.to - span.from);
    std::vector<double> shares;
    double sum = 0;
    for (const ChartSpan &span : spans)
        sum += shares.emplace_back(std::max(double(span.to - span.from) / total, 1 / (3.0 * double(spans.size()))));
    const size_t wanted = size_t(std::max(columns, int(spans.size())));
    size_t first = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        const size_t count = i + 1 < spans.size()
                                 ? std::max<size_t>(1, size_t(double(wanted) * shares[i] / sum))
                                 : std::max<size_t>(1, wanted - std::min(wanted - 1, first));
        panels_.push_back({spans[i], first, count});
        first += count;
    }
    columns_.resize(first);
}

size_t ChartRecorder::panelAt(unsigned long long time) const
{
    return size_t(std::lower_bound(panels_.begin(), panels_.end(), time,
                                   [](const Panel &panel, unsigned long long t) { return panel.span.to <= t; }) -
                  panels_.begin());
}

unsigned long long ChartRecorder::nextLook(unsigned long long now) const
{
    const size_t at = panelAt(now);
    if (at == panels_.size())
        return traffic::kLatest;  // past the last: nothing more to draw
    const Panel &panel = panels_[at];
    if (now < panel.span.from)
        return panel.span.from;
    return now + std::max<unsigned long long>(1, (panel.span.to - panel.span.from) / panel.count / 2);
}

void ChartRecorder::observe(const MotorModel &model)
{
    const unsigned long long t = model.time();
    const size_t at = panelAt(t);
    if (at < panels_.size() && t >= panels_[at].span.from) {
        const Panel &panel = panels_[at];
        const double share = double(t - panel.span.from) / double(panel.span.to - panel.span.from);
        last_ = panel.first + std::min(panel.count - 1, size_t(share * double(panel.count)));
        Column &column = columns_[last_];
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
    }
    columns_[last_].slips += int(model.slips() - slips_);
    slips_ = model.slips();
}

}  // namespace model
