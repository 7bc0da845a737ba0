#include "application.h"

#include <QAbstractButton>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPointer>
#include <QShortcutEvent>
#include <QSocketNotifier>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>

QString Application::title_;
std::function<bool(QObject *, QEvent *)> Application::holdInput;

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
    translateQt();
}

bool translateQt()
{
    auto *translator = new QTranslator(QCoreApplication::instance());
    return translator->load(QStringLiteral("qtbase_es"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
           QCoreApplication::installTranslator(translator);
}

namespace {

// Qt answers a button's access key with animateClick(), which clicks 100 ms
// later from a timer: input queued behind the key (a click during a move)
// would run first. Here the button is clicked at once, as a click would, in
// the order of the input. An ambiguous key is left to Qt, which moves the
// focus between the buttons that share it.
bool clickForAccessKey(QObject *receiver, QEvent *event)
{
    auto *button = qobject_cast<QAbstractButton *>(receiver);
    auto *shortcut = static_cast<QShortcutEvent *>(event);
    if (!button || shortcut->isAmbiguous() || shortcut->key() != button->shortcut() || !button->isEnabled())
        return false;
    if (button->isCheckable() && (button->focusPolicy() & Qt::ClickFocus))
        button->setFocus(Qt::ShortcutFocusReason);
    // Drawn pressed while its action runs, as Qt draws an access key's click.
    button->setDown(true);
    button->repaint();
    const QPointer<QAbstractButton> alive(button);
    button->click();
    if (alive)
        button->update();
    return true;
}

}  // namespace

void Application::endWhenIdle(motor::ParallelPort &port)
{
    if (motor::endingSignalFd() < 0)
        return;
    auto *notifier = new QSocketNotifier(motor::endingSignalFd(), QSocketNotifier::Read, instance());
    connect(notifier, &QSocketNotifier::activated, [&port] {
        if (const int signal = motor::endingSignal())
            port.endBySignal(signal);
    });
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    if (holdInput && holdInput(receiver, event))
        return true;
    bool handled = false;
    // An event whose handler failed has been dealt with, by the report.
    return guard([&] {
        handled = (event->type() == QEvent::Shortcut && clickForAccessKey(receiver, event)) ||
                  QApplication::notify(receiver, event);
    }) ? handled : true;
}

void Application::report(const QString &message, bool fatal)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(message));
    showError(title_, message);
    if (fatal)
        endProgram(1);
}
