// The one place where errors reach the person: every event handler runs inside
// notify(), and main() runs start-up through guard().
#pragma once

#include "errors.h"

#include <QApplication>
#include <functional>

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

private:
    static QString title_;
};
