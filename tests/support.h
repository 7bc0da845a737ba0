// What the tests share: a port that records, input queued as a window system
// queues it, a modal box answered as it shows, the window fixture and one
// layout check for both windows.
#pragma once

#include "application.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QMessageBox>
#include <QtTest>

// Records every write and delay in order, without waiting: the digit written
// ('!' for a write anywhere but 888), 'd' per delay, so a right pulse of
// vueltas reads "1dd0dd".
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

// Input posted, to be handled at the next event pump. A key posted to a window
// goes through Qt's shortcut matching when it is delivered, as a typed one does.
inline void postClick(QWidget *button)
{
    for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
        QCoreApplication::postEvent(button, new QMouseEvent(type, QPointF(5, 5), button->mapToGlobal(QPointF(5, 5)), Qt::LeftButton,
                                                            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, {}));
}
inline void postKey(QWidget *target, QKeyCombination key)
{
    for (auto type : {QEvent::KeyPress, QEvent::KeyRelease})
        QCoreApplication::postEvent(target, new QKeyEvent(type, key.key(), key.keyboardModifiers()));
}

// Answers the next modal message box from inside its own event loop, noting
// what it showed and the port's log at that moment. A box that doesn't wait
// runs no event loop of its own, so it is never answered.
struct ModalBox {
    QString shown, logAtBox;
    QTimer poll;
    explicit ModalBox(const QString *log)
    {
        QObject::connect(&poll, &QTimer::timeout, [this, log] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && QThread::currentThread()->loopLevel() > 0) {
                poll.stop();
                shown = QStringLiteral("%1|%2|%3|%4").arg(box->windowTitle(), box->text()).arg(box->icon()).arg(box->standardButtons());
                logAtBox = *log;
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start(0);
    }
    // The contact message: the program's title, one line ended by a carriage
    // return, the information icon and one OK button.
    bool showedContact(const QString &title) const
    {
        return QRegularExpression(QStringLiteral("^%1\\|Para otros proyectos [^\\n]+\\r\\|%2\\|%3$")
                                      .arg(title).arg(QMessageBox::Information).arg(QMessageBox::Ok)).match(shown).hasMatch();
    }
};

// A program's window on a recording port, with the error box and the
// program's end stood in for before the window (and its start-up) is made.
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
        form.reset();
        errors.clear();
        ends.clear();
        onEnd = nullptr;
        Application::showError = [this](const QString &, const QString &message) { errors << message; };
        Application::endProgram = [this](int status) {
            ends << status;
            if (onEnd)
                onEnd();
        };
        port = std::make_unique<RecordingPort>();
        form = std::make_unique<Form>(*port, std::forward<Args>(args)...);
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

// Layout faults a person would see, in any window: a control that sticks out
// of its parent or covers a sibling, a caption cut at the window's font, a
// frame caption not bold or a frame's font passed on to its controls.
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
        const QString caption = (frame ? frame->title() : control->property("text").toString()).remove('&');
        QVERIFY2(QFontMetrics(control->font()).horizontalAdvance(caption) < control->width(), name.constData());
    }
}

// Window tests run under the programs' own Application: its notify() is under test too.
#define WINDOW_TEST_MAIN(Test)                                                                     \
    int main(int argc, char **argv) { Application app(argc, argv, "prueba"); Test test; return QTest::qExec(&test, argc, argv); }
