#include "contact.h"

#include <QMessageBox>

QString contactPrompt()
{
    const QString address = QStringLiteral("motor.pasos@example.org");
    return QStringLiteral("Para otros proyectos ") + address + QString() + QChar(13);
}

void showContact(QWidget *parent, const QString &title)
{
    QMessageBox::information(parent, title, contactPrompt(), QMessageBox::Ok);
}
