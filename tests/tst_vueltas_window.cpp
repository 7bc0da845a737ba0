// The vueltas window driven as a person would, on the offscreen platform.
#include "form1.h"
#include "support.h"

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
        QCOMPARE(order, QStringList({"Command1", "Command2", "Text1", "Command3", "Command4", "Command5", "Command6", "Command1"}));
    }

    // The traffic after start-up of each input in turn, with the turns box
    // holding `text`; a contact box is answered before its input returns, and a
    // slip in the turns box is reported, moves nothing, and the window goes on.
    void inputs_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("inputs");
        QTest::addColumn<QString>("traffic");
        QTest::addColumn<QString>("error");  // what the reports must match
        QTest::newRow("Space after start") << " " << "Space" << kRight + "0" << "^$";
        QTest::newRow("full left") << " " << "Command2" << kLeft + "0" << "^$";
        QTest::newRow("counted right") << "1" << "Command3" << kRight << "^$";
        QTest::newRow("counted left") << "1" << "Command4" << kLeft << "^$";
        QTest::newRow("info") << "7" << "Command6" << "" << "^$";
        QTest::newRow("Alt+I") << "7" << "Alt+I" << "" << "^$";
        QTest::newRow("error, then a turn") << "342" << "Command4 Command1" << kRight + "0" << "^[^\\n]*«342»[^\\n]*341[^\\n]*$";
    }
    void inputs()
    {
        QFETCH(QString, text);
        QFETCH(QString, inputs);
        QFETCH(QString, error);
        ModalBox box(&port->log);
        child<QLineEdit>("Text1")->setText(text);
        for (const QString &input : inputs.split(' ')) {
            if (input.startsWith("Command"))
                QTest::mouseClick(child(input), Qt::LeftButton);
            else
                QTest::keySequence(QApplication::focusWidget(), QKeySequence(input));
        }
        QTEST(port->log.mid(1), "traffic");
        QCOMPARE(box.showedContact("Control de un Motor de Pasos: Vueltas"), inputs == "Command6" || inputs == "Alt+I");
        QVERIFY2(QRegularExpression(error).match(errors.join('\n')).hasMatch(), qPrintable(errors.join('\n')));
        QVERIFY(ends.isEmpty());
    }

    // Input given during a move waits for it, then runs in the order given:
    // the exit (Alt+S) ends the program before the click queued behind it,
    // writing 0 after the 2 a left move leaves.
    void inputQueuedDuringMove()
    {
        QString atExit;
        onEnd = [&] { atExit = port->log; };
        port->atWrite(1, [&] {
            postKey(form.get(), QKeySequence("Alt+S")[0]);
            postClick(child("Command1"));
        });
        child<QLineEdit>("Text1")->setText("1");
        QTest::mouseClick(child("Command4"), Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(ends, QList<int>({0}));
        QCOMPARE(atExit, "0" + kLeft + "0");
    }
};

WINDOW_TEST_MAIN(TestVueltasWindow)
#include "tst_vueltas_window.moc"
