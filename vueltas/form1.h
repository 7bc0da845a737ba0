// The window of vueltas: two full-turn buttons, a turns box with its two
// direction buttons, exit and information.
#pragma once

#include "turns.h"

#include <QEvent>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class Form1 : public QWidget {
    Q_OBJECT

public:
    // Runs start-up (the first port write) before the window shows.
    explicit Form1(motor::Port &port, QWidget *parent = nullptr);

    vueltas::Turns &turns() { return turns_; }

private slots:
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void Command6_Click();

private:
    void Form_Load();

    // A request to leave during a slowed move: the exit button (or Alt+S), or the
    // frame's close control.
    enum class Leave { None, Exit, Close };
    // What a slowed move looks at now and then: the input that came, of which the
    // requests to leave are taken and the rest held for after the move.
    bool lookForLeave();
    bool hold(QObject *receiver, QEvent *event);
    Leave leaveAsked(QObject *receiver, QEvent *event) const;
    static std::function<QEvent *()> remade(const QEvent *event);  // a held event, made again when handed on
    void afterMove();  // leaves as asked, or hands on the input held, in order

    vueltas::Turns turns_;
    Leave leave_ = Leave::None;
    std::vector<std::pair<QPointer<QObject>, std::function<QEvent *()>>> held_;
    QGroupBox *Frame1;
    QPushButton *Command1;
    QPushButton *Command2;
    QGroupBox *Frame2;
    QLabel *Label1;
    QLineEdit *Text1;
    QLabel *Label2;
    QPushButton *Command3;
    QPushButton *Command4;
    QPushButton *Command5;
    QPushButton *Command6;
};
