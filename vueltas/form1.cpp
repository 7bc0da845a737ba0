#include "form1.h"
#include "application.h"
#include "contact.h"
#include "layout.h"
#include "pacing.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QWindow>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

Form1::Form1(motor::Port &port, QWidget *parent)
    : QWidget(parent), turns_(port)
{
    setWindowTitle(QStringLiteral("Control de Un Motor de Pasos: Vueltas"));
    resize(4725 / kTwipsPerPixel, 5415 / kTwipsPerPixel);
    setFont(windowFont());

    Frame1 = place<QGroupBox>(this, "Frame1", twips(480, 360, 3255, 1575), QStringLiteral("Vueltas"));
    Command1 = place<QPushButton>(Frame1, "Command1", twips(480, 360, 2295, 375),
                                  QStringLiteral("1 Giro Completo a la Derecha"));
    Command2 = place<QPushButton>(Frame1, "Command2", twips(480, 840, 2295, 375),
                                  QStringLiteral("1 Giro Completo a la Izquierda"));
    Frame2 = place<QGroupBox>(this, "Frame2", twips(480, 2520, 3375, 1575), QStringLiteral("Configurar"));
    Label1 = place<QLabel>(Frame2, "Label1", twips(240, 360, 1455, 255), QStringLiteral("Numero de Vueltas"));
    Text1 = place<QLineEdit>(Frame2, "Text1", twips(1920, 360, 615, 285), QStringLiteral(" "));
    Label2 = place<QLabel>(Frame2, "Label2", twips(240, 840, 975, 255), QStringLiteral("Direccion"));
    Command3 = place<QPushButton>(Frame2, "Command3", twips(1320, 960, 735, 375), QStringLiteral("Der"));
    Command4 = place<QPushButton>(Frame2, "Command4", twips(2280, 960, 735, 375), QStringLiteral("Izq"));
    Command5 = place<QPushButton>(this, "Command5", twips(600, 4440, 855, 375), QStringLiteral("&Salir"));
    Command6 = place<QPushButton>(this, "Command6", twips(2160, 4440, 855, 375), QStringLiteral("&Info"));

    setFrameFont(Frame1);
    setFrameFont(Frame2);
    // Turns like 0.25 or 12.5 need more than three characters; 64 keeps a paste bounded.
    Text1->setMaxLength(64);

    QWidget::setTabOrder(Command1, Command2);
    QWidget::setTabOrder(Command2, Text1);
    QWidget::setTabOrder(Text1, Command3);
    QWidget::setTabOrder(Command3, Command4);
    QWidget::setTabOrder(Command4, Command5);
    QWidget::setTabOrder(Command5, Command6);
    Command1->setFocus();

    handle(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    handle(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    handle(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    handle(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    handle(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    handle(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
    // Asked once: slowed traffic is the only kind whose moves last long enough to be left midway.
    if (traffic::slowedByEnvironment())
        turns_.stopRequested = [this] { return lookForLeave(); };

    Form_Load();
}

void Form1::Form_Load() { turns_.arranque(); }

// Each action runs to its end without pumping events: the window stays frozen
// during a move, and input given meanwhile is handled afterwards, in order.
// Only a request to leave is taken during a slowed move (see Turns).
void Form1::Command1_Click() { turns_.giroDerecha(), afterMove(); }
void Form1::Command2_Click() { turns_.giroIzquierda(), afterMove(); }
void Form1::Command3_Click() { turns_.moverDerecha(Text1->text().toStdString()), afterMove(); }
void Form1::Command4_Click() { turns_.moverIzquierda(Text1->text().toStdString()), afterMove(); }

bool Form1::lookForLeave()
{
    // Only the window system's news is read: the window is not repainted and
    // no timer runs, as during any move, so that the pulses are not held up.
    setUpdatesEnabled(false);
    Application::holdInput = [this](QObject *receiver, QEvent *event) { return hold(receiver, event); };
    QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
    Application::holdInput = nullptr;
    setUpdatesEnabled(true);
    return leave_ != Leave::None;
}

Form1::Leave Form1::leaveAsked(QObject *receiver, QEvent *event) const
{
    if (event->type() == QEvent::Close && (receiver == this || receiver == static_cast<QObject *>(windowHandle())))
        return Leave::Close;
    if (event->type() == QEvent::Shortcut && receiver == Command5)
        return Leave::Exit;
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        return QKeySequence(key->keyCombination()) == Command5->shortcut() ? Leave::Exit : Leave::None;
    }
    if (event->type() != QEvent::MouseButtonRelease || static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
        return Leave::None;
    // A click on the exit button, seen by the window (from the window system) or by the button.
    const auto *mouse = static_cast<QMouseEvent *>(event);
    const QWidget *target = receiver == static_cast<QObject *>(windowHandle()) ? childAt(mouse->position().toPoint())
                                                                             : qobject_cast<QWidget *>(receiver);
    return target == Command5 && Command5->isEnabled() ? Leave::Exit : Leave::None;
}

bool Form1::hold(QObject *receiver, QEvent *event)
{
    if (const Leave leave = leaveAsked(receiver, event); leave != Leave::None) {
        leave_ = leave;
        event->ignore();  // a close asked for is done after the pulse, not by the window system now
        return true;
    }
    // A shortcut's override lets the shortcut through to be held itself.
    if (event->type() == QEvent::ShortcutOverride ||
        !(event->isInputEvent() || event->type() == QEvent::Shortcut || event->type() == QEvent::Close))
        return false;
    held_.emplace_back(receiver, remade(event));
    return true;
}

std::function<QEvent *()> Form1::remade(const QEvent *event)
{
    // Qt 6.4 keeps a pointer's place in the window and on the screen in one
    // record that every event of that pointer shares, copies too: a click
    // held while later input came would be handed on where the pointer was
    // last, and lost. Its values are kept instead, and the event made from
    // them only as it is delivered.
    if (const auto *mouse = dynamic_cast<const QMouseEvent *>(event))
        return [type = mouse->type(), at = mouse->position(), scene = mouse->scenePosition(),
                global = mouse->globalPosition(), button = mouse->button(), buttons = mouse->buttons(),
                modifiers = mouse->modifiers(), device = mouse->pointingDevice()] {
            return new QMouseEvent(type, at, scene, global, button, buttons, modifiers, device);
        };
    return [copy = std::shared_ptr<QEvent>(event->clone())] { return copy->clone(); };
}

void Form1::afterMove()
{
    const Leave leave = std::exchange(leave_, Leave::None);
    auto held = std::move(held_);
    held_.clear();
    if (leave == Leave::Exit)
        return Command5_Click();
    if (leave == Leave::Close)
        return void(close());
    // Queued in the order it came: delivered before anything newer, each
    // event made as it is delivered.
    for (auto &[receiver, make] : held)
        if (receiver)
            QMetaObject::invokeMethod(receiver, [receiver = receiver.data(), make = std::move(make)] {
                const std::unique_ptr<QEvent> event(make());
                QCoreApplication::sendEvent(receiver, event.get());
            }, Qt::QueuedConnection);
}

void Form1::Command5_Click()
{
    turns_.salir();
    Application::endProgram(0);
}

void Form1::Command6_Click() { showContact(this, QStringLiteral("Control de un Motor de Pasos: Vueltas")); }
