// The viewer's drawings: the shaft as a dial, a lamp per line, and a timing
// diagram of both lines.
#pragma once

#include "board.h"

#include <QWidget>
#include <deque>

namespace simulador {

// The shaft: a hand where the rotor is and, faint, one where the pulses asked
// it to be (degrees clockwise). Where the motor follows, the second hides
// under the first but for its tip; a stall parts them.
class Dial : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;
    void setAngles(double rotor, double commanded);
    double rotor() const { return rotor_; }
    double commanded() const { return commanded_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    double rotor_ = 0, commanded_ = 0;
};

class Lamp : public QWidget {
    Q_OBJECT

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
    Q_OBJECT

public:
    using QWidget::QWidget;
    // `changes` (with the value before the first) are drawn until the next
    // call: their owner keeps them for as long as this diagram is shown.
    void setView(const std::deque<Change> &changes, int before, unsigned long long start, unsigned long long end,
                 const QString &caption);
    unsigned long long span() const { return end_ - start_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    const std::deque<Change> *changes_ = nullptr;
    int before_ = 0;
    unsigned long long start_ = 0, end_ = 0;
    QString caption_;
};

}  // namespace simulador
