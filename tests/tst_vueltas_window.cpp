// The vueltas window driven as a person would, on the offscreen platform.
#include "contact.h"
#include "form1.h"
#include "support.h"

#include <QLineEdit>

namespace {
const std::string kRight = repeat("1dd0dd", 96), kLeft = repeat("3dd2dd", 96);
}

class TestVueltasWindow : public QObject, WindowFixture<Form1> {
    Q_OBJECT

private slots:
    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void layout() { checkLayout(form.get()); }

    // Focus starts on Command1, so Space right after start makes a full turn
    // right; Tab goes through the controls in order.
    void spaceAndTabOrder()
    {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(port->log, "0" + kRight + "0");
        QStringList order;
        for (int i = 0; i < 8; ++i) {
            order << QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(order, QStringList({"Command1", "Command2", "Text1", "Command3", "Command4", "Command5", "Command6", "Command1"}));
    }

    // Each button's traffic after start-up, with the turns box holding `text`.
    void buttons_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("traffic");
        QTest::newRow("full left") << "Command2" << " " << QString::fromStdString(kLeft + "0");
        QTest::newRow("counted right") << "Command3" << "1" << QString::fromStdString(kRight);
        QTest::newRow("counted left") << "Command4" << "1" << QString::fromStdString(kLeft);
        QTest::newRow("info") << "Command6" << "7" << "";
    }
    void buttons()
    {
        QFETCH(QString, button);
        QFETCH(QString, text);
        ModalBox box;
        child<QLineEdit>("Text1")->setText(text);
        QTest::mouseClick(child(button.toLatin1()), Qt::LeftButton);
        QTEST(QString::fromStdString(port->log.substr(1)), "traffic");
        QCOMPARE(box.shown.isEmpty(), button != "Command6");  // a box is answered before the click returns
        QVERIFY(errors.isEmpty() && ends.isEmpty());
    }

    // A slip in the turns box is reported; nothing moves and the window goes on.
    void errorLeavesProgramWorking()
    {
        child<QLineEdit>("Text1")->setText("342");
        QTest::mouseClick(child("Command4"), Qt::LeftButton);
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors[0].contains("«342»") && errors[0].contains("341"));
        QVERIFY(ends.isEmpty());
        QTest::mouseClick(child("Command1"), Qt::LeftButton);
        QCOMPARE(port->log, "0" + kRight + "0");
    }

    // Alt+I shows the contact message, modal: answered before the key returns.
    void contactByAccessKey()
    {
        ModalBox box;
        QTest::keyClick(form.get(), Qt::Key_I, Qt::AltModifier);
        QCOMPARE(box.shown, QString("Control de un Motor de Pasos: Vueltas|%1|%2|%3")
                                .arg(contactPrompt()).arg(QMessageBox::Information).arg(QMessageBox::Ok));
        QVERIFY(contactPrompt().startsWith("Para otros proyectos ") && contactPrompt().endsWith("\r") && !contactPrompt().contains('\n'));
        QCOMPARE(port->log, "0");
    }

    // Input given during a move waits for it, then runs in the order given:
    // the exit (Alt+S) ends the program before the click queued behind it,
    // writing 0 after the 2 a left move leaves.
    void inputQueuedDuringMove()
    {
        std::string atExit;
        onEnd = [&] { atExit = port->log; };
        port->atWrite(1, [&] {
            postKey(form.get(), Qt::Key_S, Qt::AltModifier);
            postClick(child("Command1"));
        });
        child<QLineEdit>("Text1")->setText("1");
        QTest::mouseClick(child("Command4"), Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(ends, QList<int>({0}));
        QCOMPARE(atExit, "0" + kLeft + "0");
    }

    // Start-up that can't reach the port is fatal: reported, status 1.
    void fatalStartUp()
    {
        struct Broken : RecordingPort {
            void write(short, short) override { throw FatalError("sin puerto"); }
        } broken;
        QVERIFY(!Application::guard([&] { Form1 dead(broken); }));
        QCOMPARE(errors, QStringList({"sin puerto"}));
        QCOMPARE(ends, QList<int>({1}));
    }
};

WINDOW_TEST_MAIN(TestVueltasWindow)
#include "tst_vueltas_window.moc"
