#include "chart.h"

#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <functional>

namespace simulador {

namespace {

constexpr int kWidth = 1200, kHeight = 760;
constexpr int kLeft = 84, kRight = 24;
constexpr QRect kPosition(kLeft, 92, kWidth - kLeft - kRight, 410);
constexpr QRect kAngle(kLeft, 546, kWidth - kLeft - kRight, 150);
constexpr int kCut = 30;  // pixels between two moves, where the rest between them is cut out

const QColor kCommanded(150, 185, 230), kRotor(25, 55, 110), kSlip(210, 40, 40), kAngleColor(30, 120, 70);
const QColor kGrid(225, 225, 225);

// About `count` round steps (1, 2 or 5 times a power of ten) across lo..hi.
double tickStep(double lo, double hi, int count)
{
    const double raw = std::max(hi - lo, 1e-12) / count;
    const double power = std::pow(10, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0})
        if (raw <= factor * power)
            return factor * power;
    return 10 * power;
}

// The unit that suits a span of `seconds`: its size and its name.
std::pair<double, QString> unitFor(double seconds)
{
    return seconds < 2e-3 ? std::pair(1e-6, QStringLiteral("µs"))
           : seconds < 2  ? std::pair(1e-3, QStringLiteral("ms"))
                          : std::pair(1.0, QStringLiteral("s"));
}

QString number(double value)
{
    return QLocale(QLocale::Spanish).toString(std::fabs(value) < 1e-9 ? 0.0 : value, 'g', 6);
}

// A length of time to four significant figures, in s, ms or µs.
QString duration(double seconds)
{
    const auto [unit, name] = seconds >= 1 ? std::pair(1.0, QStringLiteral("s"))
                              : seconds >= 1e-3 ? std::pair(1e-3, QStringLiteral("ms"))
                                                : std::pair(1e-6, QStringLiteral("µs"));
    return QLocale(QLocale::Spanish).toString(seconds / unit, 'g', 4) + QStringLiteral(" ") + name;
}

}  // namespace

QImage drawChart(const ChartRecorder &recorder, const QString &title, const QString &summary)
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setPixelSize(13);
    painter.setFont(font);
    const std::vector<ChartRecorder::Column> &columns = recorder.columns();
    const std::vector<ChartRecorder::Panel> &panels = recorder.panels();

    // Columns never seen hold the figures of the last one seen (the rotor was at rest), or those before the first
    // seen, of the first.
    std::vector<ChartRecorder::Column> filled(columns);
    const auto held = [&](const ChartRecorder::Column &from, int slips) {
        return ChartRecorder::Column{true,           from.commandedHigh, from.commandedHigh, from.rotorHigh,
                                     from.rotorHigh, from.angleHigh,     from.angleHigh,     slips};
    };
    for (size_t i = 1; i < filled.size(); ++i)
        if (!filled[i].seen && filled[i - 1].seen)
            filled[i] = held(filled[i - 1], columns[i].slips);
    for (size_t i = filled.size(); i-- > 1;)
        if (!filled[i - 1].seen && filled[i].seen)
            filled[i - 1] = held(filled[i], columns[i - 1].slips);
    double low = 0, high = 0;
    for (const auto &column : filled)
        if (column.seen) {
            low = std::min({low, column.commandedLow, column.rotorLow});
            high = std::max({high, column.commandedHigh, column.rotorHigh});
        }
    const double margin = std::max(1.0, (high - low) * 0.05);
    low -= margin;
    high += margin;
    // The panels side by side, kCut apart; each column's panel.
    std::vector<size_t> panelOf(columns.size());
    for (size_t p = 0; p < panels.size(); ++p)
        std::fill_n(panelOf.begin() + long(panels[p].first), panels[p].count, p);
    const double perColumn = double(kPosition.width() - kCut * int(panels.size() - 1)) / double(columns.size());
    const auto x = [&](size_t column) {
        return kPosition.left() + (double(column) + 0.5) * perColumn + kCut * double(panelOf[column]);
    };
    const auto left = [&](const ChartRecorder::Panel &panel) { return x(panel.first) - perColumn / 2; };
    const auto right = [&](const ChartRecorder::Panel &panel) {
        return x(panel.first + panel.count - 1) + perColumn / 2;
    };
    const auto y = [&](double steps) { return kPosition.bottom() - (steps - low) / (high - low) * kPosition.height(); };
    const auto yAngle = [&](double degrees) { return kAngle.center().y() - degrees / 200.0 * kAngle.height() / 2; };

    // Title, summary, the frames and their grids.
    QFont bold = font;
    bold.setBold(true);
    bold.setPixelSize(16);
    painter.setFont(bold);
    painter.drawText(QRect(kLeft, 10, kPosition.width() - 310, 24), Qt::AlignLeft | Qt::AlignVCenter, title);
    painter.setFont(font);
    painter.drawText(QRect(kLeft, 34, kPosition.width() - 310, 36), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                     summary);
    painter.drawText(QRect(kLeft, 70, 400, 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("posición (pasos)"));
    painter.drawText(QRect(kLeft, kAngle.top() - 22, 600, 18), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("ángulo de carga (grados eléctricos; más allá de ±180° el rotor salta un polo)"));
    const double step = tickStep(low, high, 8);
    for (double v = std::ceil(low / step) * step; v <= high; v += step) {
        painter.setPen(kGrid);
        for (const auto &panel : panels)
            painter.drawLine(QPointF(left(panel), y(v)), QPointF(right(panel), y(v)));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, y(v) - 9, kLeft - 8, 18), Qt::AlignRight | Qt::AlignVCenter, number(v));
    }
    for (int degrees : {-180, -90, 0, 90, 180}) {
        painter.setPen(QPen(degrees % 180 ? kGrid : QColor(150, 150, 150), 1,
                            degrees && degrees % 180 == 0 ? Qt::DashLine : Qt::SolidLine));
        for (const auto &panel : panels)
            painter.drawLine(QPointF(left(panel), yAngle(degrees)), QPointF(right(panel), yAngle(degrees)));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, yAngle(degrees) - 9, kLeft - 8, 18), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(degrees) + QStringLiteral("°"));
    }
    // Each panel's time from its move's first write, in the unit that suits its span, and where that write was.
    bool around = false;  // a rest cut out before the first move or after the last
    for (const auto &panel : panels) {
        const double from = (double(panel.span.from) - double(panel.span.begins)) * 1e-9;
        const double to = (double(panel.span.to) - double(panel.span.begins)) * 1e-9;
        const auto [unit, unitName] = unitFor(to - from);
        const double width = right(panel) - left(panel);
        const double timeStep = tickStep(from / unit, to / unit, std::max(1, int(width / 90)));
        for (double t = std::ceil(from / unit / timeStep) * timeStep; t <= to / unit + 1e-9; t += timeStep) {
            const double at = left(panel) + (t * unit - from) / (to - from) * width;
            painter.setPen(kGrid);
            painter.drawLine(QPointF(at, kPosition.top()), QPointF(at, kPosition.bottom()));
            painter.drawLine(QPointF(at, kAngle.top()), QPointF(at, kAngle.bottom()));
            painter.setPen(Qt::black);
            painter.drawText(QRectF(at - 40, kAngle.bottom() + 4, 80, 18), Qt::AlignCenter, number(t));
        }
        const double since = double(panel.span.begins - recorder.start()) * 1e-9;
        around = around || since > 0 || panel.span.to < recorder.last();
        painter.drawText(QRectF(left(panel), kAngle.bottom() + 21, width, 18), Qt::AlignCenter,
                         since > 0 ? unitName + QStringLiteral(", desde ") + duration(since) : unitName);
    }
    painter.drawText(QRect(kLeft, kAngle.bottom() + 40, kAngle.width(), 18), Qt::AlignCenter,
                     panels.size() > 1 ? QStringLiteral("tiempo de cada movimiento desde su primera escritura (bajo "
                                                        "él, desde la del fichero); entre ellos (//), cortado, el "
                                                        "motor parado y sin escrituras")
                     : around ? QStringLiteral("tiempo desde la primera escritura del movimiento (debajo, desde la del "
                                               "fichero); antes y después, cortado, el motor parado y sin escrituras")
                              : QStringLiteral("tiempo desde la primera escritura"));
    painter.setBrush(Qt::NoBrush);
    for (size_t p = 0; p < panels.size(); ++p) {
        const auto &panel = panels[p];
        painter.setPen(Qt::gray);
        for (const QRect &frame : {kPosition, kAngle})
            painter.drawRect(QRectF(QPointF(left(panel), frame.top()), QPointF(right(panel), frame.bottom())));
        if (p == 0)
            continue;
        // The cut: two slanted strokes across each frame's edges, and how long the rest was.
        const double middle = (right(panels[p - 1]) + left(panel)) / 2;
        painter.setPen(QPen(Qt::gray, 1.5));
        for (const int edge : {kPosition.top(), kPosition.bottom(), kAngle.top(), kAngle.bottom()})
            for (const double dx : {-5.0, 3.0})
                painter.drawLine(QPointF(middle + dx - 3, edge + 6), QPointF(middle + dx + 3, edge - 6));
        painter.save();
        painter.translate(middle, kPosition.center().y());
        painter.rotate(-90);
        painter.setPen(Qt::darkGray);
        painter.drawText(QRectF(-kPosition.height() / 2.0, -9, kPosition.height(), 18), Qt::AlignCenter,
                         duration(double(panel.span.from - panels[p - 1].span.to) * 1e-9) +
                             QStringLiteral(" cortados, el motor parado"));
        painter.restore();
    }

    // The slips first, under the curves; then what was asked, and the rotor over it: a stroke a panel.
    for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i].slips) {
            painter.setPen(QPen(QColor(210, 40, 40, 90), std::max(1.0, perColumn)));
            painter.drawLine(QPointF(x(i), kPosition.top()), QPointF(x(i), kPosition.bottom()));
            painter.drawLine(QPointF(x(i), kAngle.top()), QPointF(x(i), kAngle.bottom()));
            painter.setPen(Qt::NoPen);
            painter.setBrush(kSlip);
            const QPointF tip(x(i), kPosition.top() + 8);
            painter.drawPolygon(QPolygonF({tip, tip + QPointF(-5, -8), tip + QPointF(5, -8)}));
        }
    const auto curve = [&](double ChartRecorder::Column::*lowOf, double ChartRecorder::Column::*highOf,
                           const QPen &pen, const std::function<double(double)> &toY, const QRect &frame) {
        for (const auto &panel : panels) {
            painter.setClipRect(QRectF(QPointF(left(panel) + 1, frame.top() + 1),
                                       QPointF(right(panel) - 1, frame.bottom() - 1)));
            QPainterPath path;
            bool begun = false;
            for (size_t i = panel.first; i < panel.first + panel.count; ++i) {
                if (!filled[i].seen)
                    continue;
                const double a = toY(filled[i].*lowOf), b = toY(filled[i].*highOf);
                if (!begun)
                    path.moveTo(left(panel), a);
                path.lineTo(x(i), a);
                path.lineTo(x(i), b);
                begun = true;
            }
            if (begun)
                path.lineTo(right(panel), path.currentPosition().y());
            painter.strokePath(path, pen);
        }
    };
    using C = ChartRecorder::Column;
    curve(&C::commandedLow, &C::commandedHigh, QPen(kCommanded, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin), y,
          kPosition);
    curve(&C::rotorLow, &C::rotorHigh, QPen(kRotor, 1.5), y, kPosition);
    curve(&C::angleLow, &C::angleHigh, QPen(kAngleColor, 1.2), yAngle, kAngle);
    painter.setClipping(false);
    // The legend, at the right of the title, where no curve goes.
    const QRect legend(kWidth - kRight - 300, 8, 300, 66);
    const std::pair<QColor, QString> items[] = {{kCommanded, QStringLiteral("pedida por los pulsos")},
                                                {kRotor, QStringLiteral("la del rotor")},
                                                {kSlip, QStringLiteral("salto de un polo: pasos perdidos")}};
    for (int i = 0; i < 3; ++i) {
        const int row = legend.top() + 12 + 20 * i;
        painter.setPen(QPen(items[i].first, i == 0 ? 4 : 2));
        painter.drawLine(legend.left() + 10, row, legend.left() + 40, row);
        painter.setPen(Qt::black);
        painter.drawText(QRect(legend.left() + 50, row - 9, 270, 18), Qt::AlignLeft | Qt::AlignVCenter,
                         items[i].second);
    }
    return image;
}

}  // namespace simulador
