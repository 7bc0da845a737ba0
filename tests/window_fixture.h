// A program's window under test: on a recording port, with the error box and
// the program's end stood in for, so that both can be looked at.
#pragma once

#include "application.h"
#include "recording_port.h"

#include <QPushButton>
#include <QtTest>

template <class Form>
struct WindowFixture {
    RecordingPort *port = nullptr;
    Form *form = nullptr;
    QStringList errors;
    QList<int> ends;

    template <class... Args>
    void openWindow(Args &&...args)
    {
        port = new RecordingPort;
        form = new Form(*port, std::forward<Args>(args)...);
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
        errors.clear();
        ends.clear();
        Application::showError = [this](const QString &, const QString &message) { errors << message; };
        Application::endProgram = [this](int status) { ends << status; };
    }
    void closeWindow()
    {
        delete form;
        delete port;
    }
    template <class T = QPushButton>
    T *child(const char *name) { return form->template findChild<T *>(name); }
};
