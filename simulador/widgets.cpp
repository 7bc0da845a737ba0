#include "widgets.h"

#include <QPainter>
#include <QtMath>
#include <vector>

namespace simulador {

void Dial::setAngles(double rotor, double commanded)
{
    if (rotor != rotor_ || commanded != commanded_) {
        rotor_ = rotor;
        commanded_ = commanded;
        update();
    }
}

void Dial::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double radius = std::min(width(), height()) / 2.0 - 6;
    painter.translate(width() / 2.0, height() / 2.0);
    painter.setPen(QPen(QColor(0x2b, 0x31, 0x37), 2));
    painter.setBrush(QColor(0xd8, 0xdd, 0xe2));
    painter.drawEllipse(QPointF(0, 0), radius, radius);
    // A tick for each pulse of the programs' turn (a half step of the default
    // motor; a motor of more steps a turn moves less for one), a longer one
    // every quarter turn.
    constexpr int ticks = traffic::kPulsesPerTurn, quarter = ticks / 4;
    for (int step = 0; step < ticks; ++step) {
        painter.save();
        painter.rotate(step * 360.0 / ticks);
        painter.setPen(QPen(QColor(0x4a, 0x55, 0x60), step % quarter == 0 ? 2.5 : 1));
        painter.drawLine(QPointF(0, -radius), QPointF(0, -radius * (step % quarter == 0 ? 0.82 : 0.92)));
        painter.restore();
    }
    painter.save();
    painter.rotate(commanded_);
    painter.setPen(QPen(QColor(0x2b, 0x31, 0x37, 110), 3, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(0, 0), QPointF(0, -radius * 0.88));
    painter.restore();
    painter.rotate(rotor_);
    painter.setPen(QPen(QColor(0xc0, 0x39, 0x2b), 5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(0, 0), QPointF(0, -radius * 0.75));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2b, 0x31, 0x37));
    painter.drawEllipse(QPointF(0, 0), radius * 0.12, radius * 0.12);
}

void Lamp::setLit(bool lit)
{
    if (lit != lit_) {
        lit_ = lit;
        update();
    }
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(lit_ ? on_ : on_.darker(400));
    const double r = std::min(width(), height()) / 2.0 - 1;
    painter.drawEllipse(QPointF(width() / 2.0, height() / 2.0), r, r);
}

void TimingDiagram::setView(const std::deque<Change> &changes, int before, unsigned long long start,
                            unsigned long long end, const QString &caption)
{
    changes_ = &changes;
    before_ = before;
    start_ = start;
    end_ = end;
    caption_ = caption;
    update();
}

void TimingDiagram::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0x10, 0x14, 0x18));
    const int labels = 120, w = std::max(1, width() - labels - 4);
    const char *names[] = {"Pulso (bit 0)", "Dirección (bit 1)"};
    const QColor colours[] = {QColor(0xf1, 0xc4, 0x0f), QColor(0x2e, 0xcc, 0x71)};
    const int band = height() / 2;
    for (int line = 0; line < 2; ++line) {
        const int high = line * band + 8, low = (line + 1) * band - 8;
        painter.setPen(colours[line]);
        painter.drawText(QRect(4, line * band, labels - 4, band), Qt::AlignVCenter, names[line]);
        const std::vector<unsigned char> seen =
            changes_ ? columnLevels(*changes_, before_, end_, span(), w, line) : std::vector<unsigned char>(size_t(w));
        for (int x = 0; x < w; ++x) {
            const int px = labels + x;
            if (seen[size_t(x)] == 3)
                painter.drawLine(px, high, px, low);
            else
                painter.drawPoint(px, seen[size_t(x)] == 2 ? high : low);
        }
    }
    // Over the middle of the lines, where they are flat between pulses.
    painter.setPen(QColor(0xd8, 0xdd, 0xe2));
    painter.drawText(rect().adjusted(labels, 0, -6, 0), Qt::AlignRight | Qt::AlignVCenter, caption_);
}

}  // namespace simulador
