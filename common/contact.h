// The author's contact message, shown by both programs.
#pragma once

#include <QString>

class QWidget;

// "Para otros proyectos <address>" and one carriage return, no line feed.
QString contactPrompt();

// Modal information box with one OK button; touches neither the port nor any state.
void showContact(QWidget *parent, const QString &title);
