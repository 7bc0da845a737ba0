// The one place where errors reach the person. Every handler of a control is
// connected through handle(), main() runs start-up through guard(), and
// notify() catches whatever else an event handler throws.
#pragma once

#include "endingsignals.h"
#include "errors.h"
#include "port.h"
#include "usage.h"

#include <QApplication>
#include <QIcon>
#include <functional>
#include <memory>

// Qt's own texts (the buttons of a message box, the file dialog's questions)
// in Spanish, as all of the programs' own: loads Qt's translation into the
// running application. False when it is not installed (Debian's
// qt6-translations-l10n), and they stay in English.
bool translateQt();

class Application : public QApplication {
public:
    // `title` heads the error boxes: the program's own title.
    Application(int &argc, char **argv, const QString &title);

    bool notify(QObject *receiver, QEvent *event) override;

    // Runs `code`; an error it throws is reported instead of escaping. Returns
    // false when it threw.
    template <class Code>
    static bool guard(Code &&code)
    {
        try {
            code();
            return true;
        } catch (const InputError &error) {
            report(error.what(), false);
        } catch (const std::exception &error) {
            report(error.what(), true);
        }
        return false;
    }

    // Shows the message in a modal box and writes it to standard error; after
    // a fatal one the program ends with status 1.
    static void report(const QString &message, bool fatal);

    // How the box is shown and how the program ends: tests stand in for both.
    static std::function<void(const QString &title, const QString &message)> showError;
    static std::function<void(int status)> endProgram;

    // A program's whole life: its window made by `makeForm` on the real port
    // (start-up, the first port write, inside the boundary), shown, and the
    // event loop. The window lives until this returns, never deleted while a
    // handler of its own may still be running beneath the event loop.
    template <class MakeForm>
    static int run(int argc, char **argv, const char *name, const QString &title, MakeForm makeForm)
    {
        if (const int status = answerCommandLine(argc, argv, name); status >= 0)
            return status;
        Application app(argc, argv, title);
        app.setApplicationName(QString::fromLatin1(name));
        app.setWindowIcon(QIcon::fromTheme(QString::fromLatin1(name)));  // installed with the program
        motor::catchEndingSignals();
        motor::ParallelPort port;
        endWhenIdle(port);
        decltype(makeForm(port)) form;
        if (!guard([&] { form = makeForm(port); }))
            return 1;  // start-up could not reach the port: already reported
        form->show();
        return app.exec();
    }

    // While set, every event goes to it first, and one it takes (returns
    // true for) goes no further: a move that looks at the input now and then
    // takes the requests to leave and holds the rest for later.
    static std::function<bool(QObject *receiver, QEvent *event)> holdInput;

private:
    // A signal that ends the program, come while its event loop waits.
    static void endWhenIdle(motor::ParallelPort &port);

    static QString title_;
};

// Connects a control's notification to its handler through the boundary. An
// error the handler throws is reported right there: an exception must never
// unwind through Qt's own frames, which are not built to pass one on.
template <class Sender, class Signal, class Receiver>
void handle(Sender *sender, Signal signal, Receiver *receiver, void (Receiver::*handler)())
{
    QObject::connect(sender, signal, receiver,
                     [receiver, handler] { Application::guard([&] { (receiver->*handler)(); }); });
}
