// The window of vueltas: two full-turn buttons, a turns box with its two
// direction buttons, exit and information.
#pragma once

#include "turns.h"

#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class Form1 : public QWidget {
    Q_OBJECT

public:
    // Runs start-up (the first port write) before the window shows.
    explicit Form1(motor::Port &port, QWidget *parent = nullptr);

private slots:
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void Command6_Click();

private:
    void Form_Load();

    vueltas::Turns turns_;
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
