// Checks a window's controls against their table: kind, parent, place in
// twips, caption, and a bold font on frames only.
#pragma once

#include <QGroupBox>
#include <QtTest>

struct Control {
    const char *name, *kind, *parent;  // parent "": the client area
    int left, top, width, height;      // twips
    const char *caption;
};

template <size_t N>
void checkControls(QWidget *client, const Control (&controls)[N])
{
    for (const Control &c : controls) {
        QWidget *widget = client->findChild<QWidget *>(c.name);
        QVERIFY2(widget, c.name);
        QCOMPARE(widget->metaObject()->className(), c.kind);
        QCOMPARE(widget->parentWidget() == client ? QString() : widget->parentWidget()->objectName(), QString(c.parent));
        QCOMPARE(widget->geometry(), QRect(c.left / 15, c.top / 15, c.width / 15, c.height / 15));
        auto *frame = qobject_cast<QGroupBox *>(widget);
        QCOMPARE(frame ? frame->title() : widget->property("text").toString(), QString(c.caption));
        QCOMPARE(widget->font().bold(), frame != nullptr);
    }
}
