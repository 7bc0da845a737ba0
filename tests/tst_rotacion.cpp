// The rotacion window and its loop, driven on the offscreen platform. The
// loop runs for a bounded number of half-steps; input is posted during it, as
// a window system would queue it, and handled at the loop's pumps.
#include "application.h"
#include "contact.h"
#include "form1.h"
#include "modal.h"
#include "post.h"
#include "layout_table.h"
#include "window_fixture.h"

#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

class TestRotacion : public QObject, WindowFixture<Form1> {
    Q_OBJECT

    QScrollBar *bar() { return child<QScrollBar>("VScroll1"); }

    // At the write numbered `at` (1 is the rotation's first), run `action`.
    void atWrite(int at, std::function<void()> action)
    {
        auto count = std::make_shared<int>(0);
        port->onWrite = [=] {
            if (++*count == at)
                action();
        };
    }
    // The writes after start-up, as a string of digits.
    std::string writes() const
    {
        std::string out;
        for (char c : port->log.substr(1))
            if (c != 'd')
                out += c;
        return out;
    }

private slots:
    void init()
    {
        openWindow(rotacion::EventPump());
        form->rotation().halfStepLimit = 12;
    }
    void cleanup() { closeWindow(); }

    void layout()
    {
        QCOMPARE(form->windowTitle(), "Control de un Motor de Pasos: Rotacion");
        QCOMPARE(form->centralWidget()->size(), QSize(312, 213));  // the client area, below the menu bar
        const Control controls[] = {
            {"salir", "QPushButton", "", 480, 2520, 1215, 375, "Salir"},
            {"Frame1", "QGroupBox", "", 360, 360, 2055, 1695, "Sentido Del Giro"},
            {"cmdizq", "QPushButton", "Frame1", 240, 480, 1575, 375, "Rotar A la Izquierda"},
            {"cmdder", "QPushButton", "Frame1", 240, 960, 1575, 375, "Rotar A la Derecha"},
            {"Frame2", "QGroupBox", "", 2880, 360, 1335, 2655, "Velocidad"},
            {"VScroll1", "QScrollBar", "Frame2", 480, 240, 255, 2175, ""},
        };
        checkControls(form->centralWidget(), controls);
    }

    void menu()
    {
        auto *mninfo = form->menuBar()->findChild<QMenu *>("mninfo");
        QVERIFY(mninfo);
        QCOMPARE(mninfo->title(), "Informacion");
        QStringList items;
        for (QAction *action : mninfo->actions())
            items << action->objectName() + "|" + action->text() + "|" + action->shortcut().toString() + "|" +
                         (action->isSeparator() ? "-" : "");
        QCOMPARE(items, QStringList({"mninformacion|&Para otros Proyectos|Ctrl+P|", "mnxx|||-", "mnexit|&Salir|Ctrl+F4|"}));
    }

    // No control has the focus at first; Tab goes salir, cmdizq, cmdder, VScroll1.
    void focus()
    {
        const QStringList controls{"salir", "cmdizq", "cmdder", "VScroll1"};
        QWidget *focused = QApplication::focusWidget();
        QVERIFY(!focused || !controls.contains(focused->objectName()));
        QStringList order;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : form, Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order, controls);
        QTest::keyClick(bar(), Qt::Key_Home);  // the bar takes keys once it has the focus
        QCOMPARE(form->rotation().velocidad, 200);
    }

    // Write order, and a click at a pump switching or restarting the rotation.
    void writeOrder_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<int>("at");  // the write after which the second click is handled; 0: none
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("expected");
        QTest::newRow("right") << "cmdder" << 0 << "" << "232323232323";
        QTest::newRow("left") << "cmdizq" << 0 << "" << "010101010101";
        QTest::newRow("right, then left") << "cmdder" << 3 << "cmdizq" << "232010101010";
        QTest::newRow("left, then right") << "cmdizq" << 2 << "cmdder" << "012323232323";
        QTest::newRow("right restarted") << "cmdder" << 4 << "cmdder" << "232323232323";
        QTest::newRow("right restarted mid-pulse") << "cmdder" << 3 << "cmdder" << "232232323232";
    }
    void writeOrder()
    {
        QFETCH(QString, first);
        QFETCH(int, at);
        QFETCH(QString, second);
        QFETCH(QString, expected);
        if (at)
            atWrite(at, [&] { postClick(child(second.toLatin1())); });
        QTest::mouseClick(child(first.toLatin1()), Qt::LeftButton);
        QCOMPARE(QString::fromStdString(writes()), expected);
        // One delay after every write, at speed 3000.
        QVERIFY(QRegularExpression("^0([0-3]d){12}$").match(QString::fromStdString(port->log)).hasMatch());
        QCOMPARE(port->bounds, std::vector<long>(12, 900000));  // start-up set the speed to 3000
    }

    // A speed change handled at a pump sets the very next delay.
    void speedAtNextDelay_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<long>("bound");
        QTest::newRow("Home key") << "home" << 200L * 300;
        QTest::newRow("Page Up") << "pageup" << 2970L * 300;
        QTest::newRow("thumb drag") << "drag" << 1000L * 300;
    }
    void speedAtNextDelay()
    {
        QFETCH(QString, how);
        QFETCH(long, bound);
        atWrite(5, [&] {
            if (how == "home")
                postKey(bar(), Qt::Key_Home);
            else if (how == "pageup")
                postKey(bar(), Qt::Key_PageUp);
            else
                QTimer::singleShot(0, bar(), [this] {
                    bar()->setSliderDown(true);
                    bar()->setSliderPosition(1000);
                });
        });
        QTest::mouseClick(child("cmdizq"), Qt::LeftButton);
        std::vector<long> expected(5, 900000L);
        expected.resize(12, bound);
        QCOMPARE(port->bounds, expected);
    }

    // While the contact message is open the loop waits, and goes on after.
    void contactPausesStepping()
    {
        ModalBox box;
        size_t whenOpened = 0;
        bool stillWhileOpen = false;
        box.whileOpen = [&] {
            whenOpened = port->log.size();
            for (int i = 0; i < 50; ++i)
                QCoreApplication::processEvents();
            stillWhileOpen = port->log.size() == whenOpened;
        };
        atWrite(3, [&] {
            box.expect();
            QMetaObject::invokeMethod(form->findChild<QAction *>("mninformacion"), "trigger", Qt::QueuedConnection);
        });
        QTest::mouseClick(child("cmdder"), Qt::LeftButton);
        QVERIFY(box.seen);
        QCOMPARE(box.title, "Control de un Motor de Pasos: Rotacion");
        QCOMPARE(box.text, contactPrompt());
        QVERIFY(stillWhileOpen);
        QCOMPARE(whenOpened, size_t(1 + 3 * 2));
        QCOMPARE(writes(), "232323232323");
    }

    void shortcuts()
    {
        ModalBox box;
        box.expect();
        QTest::keyClick(form, Qt::Key_P, Qt::ControlModifier);
        QTRY_VERIFY(box.seen);
        QCOMPARE(port->log, "0");
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
        QTest::keyClick(form, Qt::Key_F4, Qt::ControlModifier);
        QCOMPARE(port->log, "00");
        QCOMPARE(ends, QList<int>({0}));
        QVERIFY(!form->isVisible());
    }

    // Exit handled at a pump writes 0, and nothing comes after it; closing
    // the window there writes nothing at all. Both stop the loop at once.
    void endDuringRotation_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QList<int>>("status");
        QTest::newRow("salir") << "salir" << "23230" << QList<int>{0};
        QTest::newRow("menu exit") << "mnexit" << "23230" << QList<int>{0};
        QTest::newRow("frame close") << "close" << "2323" << QList<int>{};
    }
    void endDuringRotation()
    {
        QFETCH(QString, how);
        QFETCH(QString, expected);
        QFETCH(QList<int>, status);
        form->rotation().halfStepLimit = -1;
        atWrite(4, [&] {
            if (how == "salir")
                postClick(child("salir"));
            else if (how == "mnexit")
                QMetaObject::invokeMethod(form->findChild<QAction *>("mnexit"), "trigger", Qt::QueuedConnection);
            else
                QMetaObject::invokeMethod(form, "close", Qt::QueuedConnection);
        });
        QTest::mouseClick(child("cmdder"), Qt::LeftButton);
        QCOMPARE(QString::fromStdString(writes()), expected);
        QCOMPARE(ends, status);
        QVERIFY(!form->isVisible());
        QVERIFY(!form->rotation().rotating());
    }

    // Any number of direction clicks: one loop, the same stack, the same speed.
    void tenThousandClicks()
    {
        const int clicks = 10000;
        form->rotation().halfStepLimit = clicks + 1;
        int seen = 0;
        const char *frame = nullptr;
        bool sameStack = true;
        port->onWrite = [&] {
            const char *here = static_cast<const char *>(__builtin_frame_address(0));
            sameStack = sameStack && (!frame || here == frame);
            frame = here;
            if (++seen <= clicks)
                postClick(child(seen % 2 ? "cmdder" : "cmdizq"));
        };
        QTest::mouseClick(child("cmdder"), Qt::LeftButton);
        QVERIFY(sameStack);
        QCOMPARE(port->writes(), 1 + clicks + 1);
        QVERIFY(!form->rotation().rotating());
        QCOMPARE(form->rotation().velocidad, 3000);
        // Each click restarted its direction: its first value came next.
        const std::string out = writes();
        for (int k = 1; k <= clicks; ++k)
            QCOMPARE(out[size_t(k)], k % 2 ? '2' : '0');
    }
};

int main(int argc, char **argv)
{
    Application app(argc, argv, QStringLiteral("prueba"));
    TestRotacion test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_rotacion.moc"
