// The vueltas window driven as a person would, on the offscreen platform.
#include "form1.h"
#include "support.h"

#include <QCloseEvent>
#include <QLineEdit>

namespace {
const QString kRight = QString("1dd0dd").repeated(96), kLeft = QString("3dd2dd").repeated(96);
}

class TestVueltasWindow : public QObject, WindowFixture<Form1> {
    Q_OBJECT

private slots:
    void init() { openWindow(); }

    // The focus starts on Command1, and Tab goes through the controls in order.
    void layout()
    {
        checkLayout(form.get());
        QStringList order;
        for (int i = 0; i < 8; ++i, QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab))
            order << QApplication::focusWidget()->objectName();
        QCOMPARE(order.join(' '), "Command1 Command2 Text1 Command3 Command4 Command5 Command6 Command1");
    }

    // Traffic after start-up of each input, `text` in the turns box: a slip is said, moves nothing; a failure ends.
    void inputs_data()
    {
        // inputs: separated by '|'; error: what the reports must match
        columns<QString, QString, QString, QString, int>("text", "inputs", "traffic", "error", "failAt");
        QTest::newRow("full left") << " " << "1 Giro Completo a la Izquierda" << kLeft + "0" << "^$" << 0;
        QTest::newRow("counted left") << "1" << "Izq" << kLeft << "^$" << 0;
        // An access key clicks without taking the focus: Space then turns, as at start, the focus on Command1.
        QTest::newRow("Alt+I, Alt+S, Space") << "7" << "Alt+I|Alt+S|Space" << "0" + kRight + "0" << "^$" << 0;
        QTest::newRow("error, then a turn") << "342" << "Izq|1 Giro Completo a la Derecha" << kRight + "0"
                                            << "^[^\\n]*«342»[^\\n]*341[^\\n]*$" << 0;
        QTest::newRow("port fails mid-move") << "1" << "Der" << "1dd0dd1" << "^puerto roto$" << 3;
    }
    void inputs()
    {
        const auto [text, inputs, error, failAt] =
            fetch<QString, QString, QString, int>("text", "inputs", "error", "failAt");
        ModalBox box(&port->log);
        port->atWrite(failAt, [] { throw FatalError("puerto roto"); });
        child<QLineEdit>("Text1")->setText(text);
        for (const QString &input : inputs.split('|')) {
            form->activateWindow();  // again once a box is gone, as a window manager does
            if (QAbstractButton *captioned = button(input))
                QTest::mouseClick(captioned, Qt::LeftButton);
            else if (QTest::qWaitForWindowActive(form.get()))
                QTest::keySequence(QApplication::focusWidget(), QKeySequence(input));
        }
        QTEST(port->log.mid(1), "traffic");
        QCOMPARE(box.showedContact("Control de un Motor de Pasos: Vueltas"), inputs.contains("Alt+I"));
        QVERIFY2(QRegularExpression(error).match(errors.join('\n')).hasMatch(), qPrintable(errors.join('\n')));
        QCOMPARE(ends, failAt ? QList<int>({1}) : inputs.contains("Alt+S") ? QList<int>({0}) : QList<int>());
    }

    // At full speed a move looks at nothing: all input given during it, a request to leave too, is handled after it,
    // in order. Slowed (PARPORT_SLOWDOWN above 1 or a PARPORT_MAXRATE at start-up), a move takes a request to leave at
    // its next look, every 50 ms (here 5 pulses): it stops, step low, and the program ends as asked (Salir and Alt+S
    // write 0, the close control nothing, and the window closes). Other input waits, in order.
    void duringMove_data()
    {
        // first: the move, of 5 turns when counted; inputs: at its 20th write; traffic: after start-up, up to the
        // program's end; ended: its end status, -1 none
        columns<QString, QString, QString, QString, int>("pacing", "first", "inputs", "traffic", "ended");
        const QString stopped = "^(3dd2dd){10}", all = "^" + kLeft.repeated(5);  // stopped at the look after pulse 10
        const QString slowed = "PARPORT_SLOWDOWN=20";
        QTest::newRow("Alt+S") << slowed << "Command4" << "Alt+S" << stopped + "0$" << 0;
        QTest::newRow("Alt+S, at a rate") << "PARPORT_MAXRATE=700" << "Command4" << "Alt+S" << stopped + "0$" << 0;
        QTest::newRow("the close control, a turn") << "PARPORT_SLOWDOWN=2.5" << "Command2" << "close" << stopped + "$"
                                                   << -1;
        QTest::newRow("a turn, then Salir") << slowed << "Command4" << "Command1|Command5" << stopped + "0$" << 0;
        QTest::newRow("two turns wait for the move")
            << slowed << "Command4" << "Command2|Command1" << all + kLeft + "0" + kRight + "0$" << -1;
        QTest::newRow("right and middle clicks on Salir")
            << slowed << "Command4" << "Command5:right|Command5:middle" << all + "$" << -1;
        QTest::newRow("full speed: Izq, Salir, a turn")
            << "" << "Command3" << "Command4|Command5|Command1" << "^" + kRight.repeated(5) + kLeft.repeated(5) + "0$"
            << 0;
        QTest::newRow("full speed: Alt+S, a turn")
            << "PARPORT_SLOWDOWN=1" << "Command4" << "Alt+S|Command1" << all + "0$" << 0;
        QTest::newRow("full speed: the close control, a rate refused")
            << "PARPORT_MAXRATE=4" << "Command4" << "close" << all + "$" << -1;
    }
    void duringMove()
    {
        const auto [pacing, first, inputs, traffic] =
            fetch<QString, QString, QString, QString>("pacing", "first", "inputs", "traffic");
        const QByteArray setting = pacing.section('=', 0, 0).toLatin1();
        if (!pacing.isEmpty())
            qputenv(setting, pacing.section('=', 1).toLatin1());
        openWindow();
        qunsetenv(setting);
        form->turns().clock = [now = 3600000000000ULL]() mutable { return now += 10000000; };  // up an hour; 10 ms
        QString traced;  // the traffic until the program ends, or all of it
        onEnd = [&] { traced = port->log; };
        const QMap<QString, Qt::MouseButton> buttons{{"", Qt::LeftButton}, {"right", Qt::RightButton},
                                                     {"middle", Qt::MiddleButton}};
        port->atWrite(20, [&] {
            for (const QString &input : inputs.split('|'))
                input == "close" ? QCoreApplication::postEvent(form->windowHandle(), new QCloseEvent)
                : input == "Alt+S" ? postKey(form.get(), QKeySequence("Alt+S")[0])
                                   : postClick(child(input.section(':', 0, 0)), buttons[input.section(':', 1)]);
        });
        child<QLineEdit>("Text1")->setText("5");
        QTest::mouseClick(child(first), Qt::LeftButton);
        for (int round = 0; round < 3; ++round)  // what a move held, handed on after it, and again after the next
            QCoreApplication::processEvents();
        traced = ends.isEmpty() ? port->log : traced;
        QVERIFY2(QRegularExpression(traffic).match(traced.mid(1)).hasMatch(), qPrintable(traced.right(300)));
        QTEST(ends.isEmpty() ? -1 : ends.front(), "ended");
        QCOMPARE(form->isVisible(), inputs != "close");
    }
};

WINDOW_TEST_MAIN(TestVueltasWindow)
#include "tst_vueltas_window.moc"
