#include "form1.h"
#include "application.h"
#include "contact.h"
#include "layout.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>

Form1::Form1(motor::Port &port, std::function<void()> pump, QWidget *parent)
    : QMainWindow(parent), rotation_(port, std::move(pump))
{
    setWindowTitle(QStringLiteral("Control de un Motor de Pasos: Rotacion"));
    setFont(windowFont());

    mninfo = menuBar()->addMenu(QStringLiteral("Informacion"));
    mninfo->setObjectName(QStringLiteral("mninfo"));
    mninformacion = mninfo->addAction(QStringLiteral("&Para otros Proyectos"));
    mninformacion->setObjectName(QStringLiteral("mninformacion"));
    mninformacion->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    mnxx = mninfo->addSeparator();
    mnxx->setObjectName(QStringLiteral("mnxx"));
    mnexit = mninfo->addAction(QStringLiteral("&Salir"));
    mnexit->setObjectName(QStringLiteral("mnexit"));
    mnexit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F4));

    // The client area, below the menu bar, holds the controls.
    auto *client = new QWidget(this);
    setCentralWidget(client);
    resize(4680 / kTwipsPerPixel, 3195 / kTwipsPerPixel + menuBar()->sizeHint().height());

    salir = place<QPushButton>(client, "salir", twips(480, 2520, 1215, 375), QStringLiteral("Salir"));
    Frame1 = place<QGroupBox>(client, "Frame1", twips(360, 360, 2055, 1695), QStringLiteral("Sentido Del Giro"));
    cmdizq = place<QPushButton>(Frame1, "cmdizq", twips(240, 480, 1575, 375), QStringLiteral("Rotar A la Izquierda"));
    cmdder = place<QPushButton>(Frame1, "cmdder", twips(240, 960, 1575, 375), QStringLiteral("Rotar A la Derecha"));
    Frame2 = place<QGroupBox>(client, "Frame2", twips(2880, 360, 1335, 2655), QStringLiteral("Velocidad"));
    VScroll1 = place<QScrollBar>(Frame2, "VScroll1", twips(480, 240, 255, 2175), Qt::Vertical);
    setFrameFont(Frame1);
    setFrameFont(Frame2);

    // A larger value is a longer delay: the bottom of the bar is the slow end.
    VScroll1->setRange(200, 3000);
    VScroll1->setSingleStep(20);
    VScroll1->setPageStep(30);
    VScroll1->setValue(500);
    VScroll1->setFocusPolicy(Qt::TabFocus);

    QWidget::setTabOrder(salir, cmdizq);
    QWidget::setTabOrder(cmdizq, cmdder);
    QWidget::setTabOrder(cmdder, VScroll1);
    // No control holds the focus when the window opens: the window keeps it,
    // and Tab goes from there to salir.
    setFocusPolicy(Qt::NoFocus);
    setFocus();

    handle(cmdder, &QPushButton::clicked, this, &Form1::cmdder_Click);
    handle(cmdizq, &QPushButton::clicked, this, &Form1::cmdizq_Click);
    handle(VScroll1, &QScrollBar::valueChanged, this, &Form1::VScroll1_Change);
    handle(VScroll1, &QScrollBar::sliderMoved, this, &Form1::VScroll1_Scroll);
    handle(salir, &QPushButton::clicked, this, &Form1::salir_Click);
    handle(mnexit, &QAction::triggered, this, &Form1::mnexit_Click);
    handle(mninformacion, &QAction::triggered, this, &Form1::mninformacion_Click);

    Form_Load();
}

void Form1::Form_Load()
{
    VScroll1->setValue(3000);  // its change handler sets velocidad
    rotation_.arranque();
}

void Form1::cmdder_Click() { rotation_.rotar(motor::kRotacionRight); }
void Form1::cmdizq_Click() { rotation_.rotar(motor::kRotacionLeft); }
void Form1::VScroll1_Change() { rotation_.velocidad = VScroll1->value(); }
void Form1::VScroll1_Scroll() { VScroll1_Change(); }

void Form1::salir_Click()
{
    rotation_.salir();
    close();
    Application::endProgram(0);
}

void Form1::mnexit_Click() { salir_Click(); }
void Form1::mninformacion_Click() { showContact(this, QStringLiteral("Control de un Motor de Pasos: Rotacion")); }

void Form1::closeEvent(QCloseEvent *event)
{
    rotation_.stop();
    event->accept();
}
