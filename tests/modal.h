// Answers the next modal message box as soon as it shows, noting what it said,
// so that a test can click a button that opens one without blocking.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>

struct ModalBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool seen = false;
    std::function<void()> whileOpen;  // runs while the box is up

    void expect()
    {
        seen = false;
        auto *poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, poll, [this, poll] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll->deleteLater();
            seen = true;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->standardButtons();
            if (whileOpen)
                whileOpen();
            box->button(QMessageBox::Ok)->click();
        });
        poll->start(1);
    }
};
