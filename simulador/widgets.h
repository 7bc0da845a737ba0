// The viewer's drawings: the shaft as a dial, a lamp per line, and a timing
// diagram of both lines.
#pragma once

#include "board.h"

#include <QWidget>
#include <deque>

namespace simulador {

class Dial : public QWidget {
public:
    using QWidget::QWidget;
    void setAngle(double degrees);
    double angle() const { return angle_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    double angle_ = 0;
};

class Lamp : public QWidget {
public:
    Lamp(const QColor &on, QWidget *parent) : QWidget(parent), on_(on) {}
    void setLit(bool lit);
    bool lit() const { return lit_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor on_;
    bool lit_ = false;
};

// The pulse and direction lines over the last `span` nanoseconds, like a logic
// analyser. Where many changes fall in one pixel the column is filled.
class TimingDiagram : public QWidget {
public:
    using QWidget::QWidget;
    void add(unsigned long long time, int value);
    void setNow(unsigned long long now) { now_ = now; }
    void setSpan(unsigned long long span);
    unsigned long long span() const { return span_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    std::deque<Change> history_;
    int before_ = 0;  // the value before the oldest change kept
    unsigned long long now_ = 0;
    unsigned long long span_ = 10000000;  // 10 ms
};

}  // namespace simulador
