// The window of rotacion: two direction buttons, the speed bar, exit, and the
// Informacion menu.
#pragma once

#include "rotation.h"

#include <QMainWindow>

class QAction;
class QGroupBox;
class QMenu;
class QPushButton;
class QScrollBar;

class Form1 : public QMainWindow {
    Q_OBJECT

public:
    // Runs start-up (speed bar to 3000, the first port write) before the window shows.
    Form1(motor::Port &port, std::function<void()> pump, QWidget *parent = nullptr);

    rotacion::Rotation &rotation() { return rotation_; }

protected:
    // The frame's close control: no port write, and a running rotation stops
    // at once, so that no loop steps the motor with its window gone.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void cmdder_Click();
    void cmdizq_Click();
    void VScroll1_Change();
    void VScroll1_Scroll();
    void salir_Click();
    void mnexit_Click();
    void mninformacion_Click();

private:
    void Form_Load();

    rotacion::Rotation rotation_;
    QPushButton *salir;
    QGroupBox *Frame1;
    QPushButton *cmdizq;
    QPushButton *cmdder;
    QGroupBox *Frame2;
    QScrollBar *VScroll1;
    QMenu *mninfo;
    QAction *mninformacion;
    QAction *mnxx;
    QAction *mnexit;
};
