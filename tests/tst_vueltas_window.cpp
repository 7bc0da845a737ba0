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
        QTest::newRow("Space after start") << " " << "Space" << kRight + "0" << "^$" << 0;
        QTest::newRow("full left") << " " << "1 Giro Completo a la Izquierda" << kLeft + "0" << "^$" << 0;
        QTest::newRow("counted right") << "1" << "Der" << kRight << "^$" << 0;
        QTest::newRow("counted left") << "1" << "Izq" << kLeft << "^$" << 0;
        QTest::newRow("info") << "7" << "&Info" << "" << "^$" << 0;
        QTest::newRow("Alt+I") << "7" << "Alt+I" << "" << "^$" << 0;
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
        for (const QString &input : inputs.split('|'))
            if (QAbstractButton *captioned = button(input))
                QTest::mouseClick(captioned, Qt::LeftButton);
            else
                QTest::keySequence(QApplication::focusWidget(), QKeySequence(input));
        QTEST(port->log.mid(1), "traffic");
        QCOMPARE(box.showedContact("Control de un Motor de Pasos: Vueltas"), inputs == "&Info" || inputs == "Alt+I");
        QVERIFY2(QRegularExpression(error).match(errors.join('\n')).hasMatch(), qPrintable(errors.join('\n')));
        QCOMPARE(ends, failAt ? QList<int>({1}) : QList<int>());
    }

    // A move that lasts takes a request to leave at its next look, every 50 ms (here 5 pulses): it stops, step low,
    // and the program ends as asked (Salir and Alt+S write 0, the close control nothing). Other input waits, in order.
    void leaveDuringMove_data()
    {
        // inputs: at the 20th write of a left move of 5 turns (or "START>…"); tick: ms the clock moves at each reading,
        // 0: no looks; traffic: after start-up; ended: the program's end status, -1 none; open: the window is there
        columns<QString, int, QString, int, bool>("inputs", "tick", "traffic", "ended", "open");
        const QString stopped = "^(3dd2dd){10,15}";  // at the first look after the request, a whole pulse
        QTest::newRow("Salir") << "Command5" << 10 << stopped + "0$" << 0 << true;
        QTest::newRow("Alt+S") << "Alt+S" << 10 << stopped + "0$" << 0 << true;
        QTest::newRow("the close control") << "close" << 10 << stopped + "$" << -1 << false;
        QTest::newRow("the close control, a full turn") << "Command2>close" << 10 << stopped + "$" << -1 << false;
        QTest::newRow("a turn asked first, then Salir") << "Command1|Command5" << 10 << stopped + "0$" << 0 << true;
        const QString all = "^" + kLeft.repeated(5);  // the whole move: other input, or all at full speed, waits
        QTest::newRow("a turn waits for the move") << "Command1" << 10 << all + kRight + "0$" << -1 << true;
        QTest::newRow("full speed: Alt+S, then a turn") << "Alt+S|Command1" << 0 << all + "0$" << 0 << true;
    }
    void leaveDuringMove()
    {
        const auto [inputs, traffic, tick] = fetch<QString, QString, int>("inputs", "traffic", "tick");
        form->turns().clock = [tick, now = 0ULL]() mutable { return now += tick * 1000000ULL; };
        QString traced;  // the traffic until the program ends, or all of it
        onEnd = [&] { traced = port->log; };
        port->atWrite(20, [&] {
            for (const QString &input : inputs.section('>', -1).split('|'))
                input == "close" ? QCoreApplication::postEvent(form.get(), new QCloseEvent)
                : input == "Alt+S" ? postKey(form.get(), QKeySequence("Alt+S")[0])
                                   : postClick(child(input));
        });
        child<QLineEdit>("Text1")->setText("5");
        QTest::mouseClick(child(inputs.contains('>') ? inputs.section('>', 0, 0) : "Command4"), Qt::LeftButton);
        QCoreApplication::processEvents();
        traced = ends.isEmpty() ? port->log : traced;
        QVERIFY2(QRegularExpression(traffic).match(traced.mid(1)).hasMatch(), qPrintable(traced));
        QTEST(ends.isEmpty() ? -1 : ends.front(), "ended");
        QTEST(form->isVisible(), "open");
    }
};

WINDOW_TEST_MAIN(TestVueltasWindow)
#include "tst_vueltas_window.moc"
