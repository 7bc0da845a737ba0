#include "application.h"

#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

QString Application::title_;

std::function<void(const QString &, const QString &)> Application::showError =
    [](const QString &title, const QString &message) {
        // Off screen nobody could close the box: standard error has said it all.
        if (QGuiApplication::platformName() != QLatin1String("offscreen"))
            QMessageBox::critical(QApplication::activeWindow(), title, message);
    };

std::function<void(int)> Application::endProgram = [](int status) {
    std::fflush(nullptr);
    std::exit(status);
};

Application::Application(int &argc, char **argv, const QString &title)
    : QApplication(argc, argv)
{
    title_ = title;
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    bool handled = false;
    // An event whose handler failed has been dealt with, by the report.
    return guard([&] { handled = QApplication::notify(receiver, event); }) ? handled : true;
}

void Application::report(const QString &message, bool fatal)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(message));
    showError(title_, message);
    if (fatal)
        endProgram(1);
}
