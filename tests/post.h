// Input queued the way a window system queues it: posted, to be handled at
// the next event pump.
#pragma once

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWidget>

inline void postClick(QWidget *button)
{
    const QPointF at(5, 5);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
        QCoreApplication::postEvent(button, new QMouseEvent(type, at, button->mapToGlobal(at), Qt::LeftButton,
                                                            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                                            Qt::NoModifier));
}

inline void postKey(QWidget *target, int key)
{
    for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease})
        QCoreApplication::postEvent(target, new QKeyEvent(type, key, Qt::NoModifier));
}
