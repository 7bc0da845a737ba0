#include "contact.h"

#include <QMessageBox>

QString contactPrompt()
{
    const QString address = QString::fromUtf8(MOTOR_CONTACT);  // a build setting
    return QStringLiteral("Para otros proyectos ") + address + QString() + QChar(13);
}

void showContact(QWidget *parent, const QString &title)
{
    QMessageBox::information(parent, title, contactPrompt(), QMessageBox::Ok);
}
