// The viewer's drawings: the shaft as a dial, a lamp per line, and a timing
// diagram of both lines.
#pragma once

#include "board.h"
#include "moves.h"

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

// The pulse and direction lines from one time to another, like a logic
// analyser, with a caption in its corner. Where many changes fall in one
// pixel the column is filled.
class TimingDiagram : public QWidget {
public:
    using QWidget::QWidget;
    void add(unsigned long long time, int value);
    void setView(unsigned long long start, unsigned long long end, const QString &caption);
    unsigned long long span() const { return end_ - start_; }
    // Frozen, it draws the lines as they were kept then, while it goes on
    // keeping the writes that come.
    void setFrozen(bool frozen);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    std::deque<Change> history_;
    int before_ = 0;  // the value before the oldest change kept
    std::deque<Change> frozenHistory_;
    int frozenBefore_ = 0;
    bool frozen_ = false;
    unsigned long long start_ = 0, end_ = 0;
    QString caption_;
};

}  // namespace simulador
