// Window layout in twips, the unit the layouts are drawn in: 15 twips make
// one logical pixel.
#pragma once

#include <QFont>
#include <QRect>
#include <QWidget>

constexpr int kTwipsPerPixel = 15;

inline QRect twips(int left, int top, int width, int height)
{
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

// The windows' font: "MS Sans Serif" 8.25 pt, the font the layouts were drawn
// for, or the closest sans font where that family is missing (Liberation Sans
// and Arial have its widths; wider fonts would cut the captions).
inline QFont windowFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("Nimbus Sans"),
                      QStringLiteral("Helvetica")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    return font;
}

// Frame captions: the same, bold.
inline QFont frameFont()
{
    QFont font = windowFont();
    font.setBold(true);
    return font;
}

// Gives a frame its caption font while its children keep the window's
// ordinary font (a frame's font would otherwise pass to them).
inline void setFrameFont(QWidget *frame)
{
    QFont ordinary = frame->font();
    ordinary.setResolveMask(QFont::AllPropertiesResolved);
    frame->setFont(frameFont());
    for (QWidget *child : frame->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        child->setFont(ordinary);
}

// Creates a child widget with its name and its place.
template <class Widget, class... Args>
Widget *place(QWidget *parent, const char *name, const QRect &geometry, Args &&...args)
{
    auto *widget = new Widget(std::forward<Args>(args)..., parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}
