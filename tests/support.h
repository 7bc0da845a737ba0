// What the window tests share: a recording port, input queued as a window system does, modal boxes, a layout check.
#pragma once

#include "application.h"
#include "table.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>

// Every write and delay in order, without waiting: the digit written ('!' off 888), 'd' a delay: a pulse is "1dd0dd".
struct RecordingPort : motor::Port {
    QString log;
    std::vector<long> bounds;  // the bound of each delay, in order
    std::function<void()> onWrite;

    void write(short address, short value) override
    {
        log += address == 888 ? QChar('0' + value) : QChar('!');
        if (onWrite)
            onWrite();
    }
    long delay(long bound) override
    {
        log += 'd';
        bounds.push_back(bound);
        return bound + 1;
    }
    // Runs `action` once, at the write numbered `at` from now on.
    void atWrite(int at, std::function<void()> action)
    {
        onWrite = [=, count = 0]() mutable {
            if (++count == at)
                action();
        };
    }
};

// Input posted, handled at the next pump, as the window system sends it: a click to the window, at the button's place
// in it; a key posted to a window goes through Qt's shortcut matching, as typed.
inline void postClick(QWidget *button, Qt::MouseButton which = Qt::LeftButton)
{
    QWidget *window = button->window();
    const QPointF at = button->mapTo(window, QPointF(5, 5));
    for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})  // each made when sent, as Qt makes it
        QMetaObject::invokeMethod(window->windowHandle(), [=] {
            const Qt::MouseButtons down = type == QEvent::MouseButtonPress ? which : Qt::NoButton;
            QMouseEvent click(type, at, window->mapToGlobal(at), which, down, {});
            QCoreApplication::sendEvent(window->windowHandle(), &click);
        }, Qt::QueuedConnection);
}
inline void postKey(QWidget *target, QKeyCombination key)
{
    for (auto type : {QEvent::KeyPress, QEvent::KeyRelease})
        QCoreApplication::postEvent(target, new QKeyEvent(type, key.key(), key.keyboardModifiers()));
}

// Answers the next modal message box inside its own loop, noting what it showed and the port's log then.
struct ModalBox {
    QString shown, logAtBox;
    QTimer poll;
    explicit ModalBox(const QString *log)
    {
        QObject::connect(&poll, &QTimer::timeout, [this, log] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && QThread::currentThread()->loopLevel() > 0) {
                poll.stop();
                shown = QString("%1|%2|%3|%4").arg(box->windowTitle(), box->text()).arg(box->icon())
                            .arg(box->standardButtons());
                logAtBox = *log;
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start(0);
    }
    // The contact message: the program's title, one line ended by a carriage return, the information icon, one OK.
    bool showedContact(const QString &title) const
    {
        const QString contact = QString("^%1\\|Para otros proyectos [^\\n]+\\r\\|%2\\|%3$").arg(title);
        return QRegularExpression(contact.arg(QMessageBox::Information).arg(QMessageBox::Ok)).match(shown).hasMatch();
    }
};

// A program's window on a recording port, the error box and the program's end stood in for before its start-up.
template <class Form>
struct WindowFixture {
    std::unique_ptr<RecordingPort> port;
    std::unique_ptr<Form> form;
    QStringList errors;
    QList<int> ends;
    std::function<void()> onEnd;  // runs at the program's end, when set

    template <class... Args>
    void openWindow(Args &&...args)
    {
        form.reset(), errors.clear(), ends.clear(), onEnd = nullptr;
        Application::showError = [this](const QString &, const QString &message) { errors << message; };
        Application::endProgram = [this](int status) {
            ends << status;
            if (onEnd)
                onEnd();
        };
        port = std::make_unique<RecordingPort>();
        form = std::make_unique<Form>(*port, std::forward<Args>(args)...);
        form->move(150, 100);  // where a window manager may put it: not at the screen's origin
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }
    template <class T = QAbstractButton>
    T *child(const QString &name) { return form->template findChild<T *>(name); }
    // The button a person finds by its caption, an access key's "&" included.
    QAbstractButton *button(const QString &caption)
    {
        for (QAbstractButton *one : form->template findChildren<QAbstractButton *>())
            if (one->text() == caption)
                return one;
        return nullptr;
    }
};

// Layout faults a person would see: a control out of its parent or over a sibling, a caption cut (a label that
// wraps: a line), frame fonts wrong.
inline void checkLayout(QWidget *client)
{
    QList<QWidget *> controls = client->findChildren<QWidget *>(QRegularExpression("^(?!qt_).+"));
    QVERIFY(controls.size() >= 6);
    for (QWidget *control : controls) {
        const QByteArray name = control->objectName().toLatin1();
        QVERIFY2(control->parentWidget()->rect().contains(control->geometry()), name.constData());
        for (QWidget *other : controls)
            QVERIFY2(other == control || other->parentWidget() != control->parentWidget() ||
                         !other->geometry().intersects(control->geometry()), name.constData());
        auto *frame = qobject_cast<QGroupBox *>(control);
        QCOMPARE(control->font().bold(), frame != nullptr);
        const QString caption =
            (frame ? frame->title() : control->property(control->inherits("QComboBox") ? "currentText" : "text")
                                          .toString()).remove('&');
        auto *lines = qobject_cast<QLabel *>(control);  // a label that wraps: all its lines within its height
        const int advance = lines && Qt::mightBeRichText(caption)  // a label of markup: as laid out
                                ? control->sizeHint().width()
                                : QFontMetrics(control->font()).horizontalAdvance(caption);
        const int room = lines && lines->wordWrap() ? lines->height() - lines->heightForWidth(lines->width())
                                                    : control->width() - advance;
        QVERIFY2(room >= 0, name.constData());
    }
}

// Window tests run under the programs' own Application: its notify() is under test too.
#define WINDOW_TEST_MAIN(Test)                                                                                \
    int main(int c, char **v) { Application app(c, v, "prueba"); Test test; return QTest::qExec(&test, c, v); }
