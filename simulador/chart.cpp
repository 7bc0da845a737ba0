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
constexpr QRect kPosition(kLeft, 92, kWidth - kLeft - kRight, 420);
constexpr QRect kAngle(kLeft, 556, kWidth - kLeft - kRight, 150);

const QColor kCommanded(150, 185, 230), kRotor(25, 55, 110), kSlip(210, 40, 40), kAngleColor(30, 120, 70);

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

QString number(double value)
{
    return QLocale(QLocale::Spanish).toString(std::fabs(value) < 1e-9 ? 0.0 : value, 'g', 6);
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

    // Columns never seen hold the figures of the last one seen: the rotor was at rest.
    std::vector<ChartRecorder::Column> filled(columns);
    for (size_t i = 0; i < filled.size(); ++i)
        if (!filled[i].seen && i > 0 && filled[i - 1].seen) {
            const ChartRecorder::Column &before = filled[i - 1];
            filled[i] = {true, before.commandedHigh, before.commandedHigh, before.rotorHigh, before.rotorHigh,
                         before.angleHigh, before.angleHigh, columns[i].slips};
        }
    double low = 0, high = 0;
    for (const auto &column : filled)
        if (column.seen) {
            low = std::min({low, column.commandedLow, column.rotorLow});
            high = std::max({high, column.commandedHigh, column.rotorHigh});
        }
    const double margin = std::max(1.0, (high - low) * 0.05);
    low -= margin;
    high += margin;
    const double perColumn = double(kPosition.width()) / double(columns.size());
    const auto x = [&](size_t column) { return kPosition.left() + (double(column) + 0.5) * perColumn; };
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
    painter.drawText(QRect(kLeft, 534, 600, 18), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("ángulo de carga (grados eléctricos; más allá de ±180° el rotor salta un polo)"));
    painter.setPen(QColor(225, 225, 225));
    const double step = tickStep(low, high, 8);
    for (double v = std::ceil(low / step) * step; v <= high; v += step) {
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(QPointF(kPosition.left(), y(v)), QPointF(kPosition.right(), y(v)));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, y(v) - 9, kLeft - 8, 18), Qt::AlignRight | Qt::AlignVCenter, number(v));
    }
    for (int degrees : {-180, -90, 0, 90, 180}) {
        painter.setPen(QPen(degrees % 180 ? QColor(225, 225, 225) : QColor(150, 150, 150), 1,
                            degrees && degrees % 180 == 0 ? Qt::DashLine : Qt::SolidLine));
        painter.drawLine(QPointF(kAngle.left(), yAngle(degrees)), QPointF(kAngle.right(), yAngle(degrees)));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, yAngle(degrees) - 9, kLeft - 8, 18), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(degrees) + QStringLiteral("°"));
    }
    // Time, in the unit that suits the span.
    const double span = double(recorder.end() - recorder.start()) * 1e-9;
    const double unit = span < 2e-3 ? 1e-6 : span < 2 ? 1e-3 : 1;
    const QString unitName = unit == 1e-6   ? QStringLiteral("µs")
                             : unit == 1e-3 ? QStringLiteral("ms")
                                            : QStringLiteral("s");
    const double timeStep = tickStep(0, span / unit, 10);
    for (double t = 0; t <= span / unit + 1e-9; t += timeStep) {
        const double at = kPosition.left() + t * unit / span * kPosition.width();
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(QPointF(at, kPosition.top()), QPointF(at, kPosition.bottom()));
        painter.drawLine(QPointF(at, kAngle.top()), QPointF(at, kAngle.bottom()));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(at - 40, kAngle.bottom() + 6, 80, 18), Qt::AlignCenter, number(t));
    }
    painter.drawText(QRect(kLeft, kAngle.bottom() + 26, kAngle.width(), 18), Qt::AlignCenter,
                     QStringLiteral("tiempo (%1) desde la primera escritura").arg(unitName));
    painter.setPen(Qt::gray);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(kPosition);
    painter.drawRect(kAngle);

    // The slips first, under the curves; then what was asked, and the rotor over it.
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
    painter.setClipRect(kPosition.adjusted(1, 1, -1, -1));
    const auto curve = [&](double ChartRecorder::Column::*lowOf, double ChartRecorder::Column::*highOf,
                           const QPen &pen, const std::function<double(double)> &toY) {
        QPainterPath path;
        bool begun = false;
        for (size_t i = 0; i < filled.size(); ++i) {
            if (!filled[i].seen)
                continue;
            const double a = toY(filled[i].*lowOf), b = toY(filled[i].*highOf);
            if (!begun)
                path.moveTo(x(i), a);
            path.lineTo(x(i), a);
            path.lineTo(x(i), b);
            begun = true;
        }
        painter.strokePath(path, pen);
    };
    using C = ChartRecorder::Column;
    curve(&C::commandedLow, &C::commandedHigh, QPen(kCommanded, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin), y);
    curve(&C::rotorLow, &C::rotorHigh, QPen(kRotor, 1.5), y);
    painter.setClipRect(kAngle.adjusted(1, 1, -1, -1));
    curve(&C::angleLow, &C::angleHigh, QPen(kAngleColor, 1.2), yAngle);
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
