// The rotacion window and its loop, driven on the offscreen platform. The
// loop runs for a bounded number of half-steps; input is posted during it, as
// a window system would queue it, and handled at the loop's pumps.
#include "contact.h"
#include "form1.h"
#include "support.h"

#include <QScrollBar>
#include <set>

class TestRotacion : public QObject, WindowFixture<Form1> {
    Q_OBJECT

    QScrollBar *bar() { return child<QScrollBar>("VScroll1"); }

    std::string writes() const { return port->writes().substr(1); }  // after start-up

    // Input during a rotation, by name, queued as the window system queues it.
    void post(const QString &input)
    {
        if (input == "mnexit")
            QMetaObject::invokeMethod(form->findChild<QAction *>("mnexit"), "trigger", Qt::QueuedConnection);
        else if (input == "close")
            QMetaObject::invokeMethod(form.get(), "close", Qt::QueuedConnection);
        else if (input == "Home" || input == "PageUp")
            postKey(bar(), input == "Home" ? Qt::Key_Home : Qt::Key_PageUp);
        else if (input == "drag")
            QTimer::singleShot(0, bar(), [this] { bar()->setSliderDown(true); bar()->setSliderPosition(1000); });
        else
            postClick(child(input.toLatin1()));
    }

private slots:
    void init()
    {
        openWindow(rotacion::EventPump());
        form->rotation().halfStepLimit = 12;
    }
    void cleanup() { closeWindow(); }

    void layout() { checkLayout(form->centralWidget()); }

    // Write order, with input handled at the pump after the write numbered
    // `at`: a click switches or restarts the rotation, writing its first value
    // at once; an exit writes 0 and nothing after it; closing writes nothing.
    void writeOrder_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<int>("at");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("status");  // the exit status; -1: the program goes on
        QTest::newRow("right") << "cmdder" << 0 << "" << "232323232323" << -1;
        QTest::newRow("left") << "cmdizq" << 0 << "" << "010101010101" << -1;
        QTest::newRow("right, then left") << "cmdder" << 3 << "cmdizq" << "232010101010" << -1;
        QTest::newRow("left, then right") << "cmdizq" << 2 << "cmdder" << "012323232323" << -1;
        QTest::newRow("right restarted mid-pulse") << "cmdder" << 3 << "cmdder" << "232232323232" << -1;
        QTest::newRow("salir") << "cmdizq" << 4 << "salir" << "01010" << 0;
        QTest::newRow("menu exit") << "cmdizq" << 4 << "mnexit" << "01010" << 0;
        QTest::newRow("frame close") << "cmdizq" << 4 << "close" << "0101" << -1;
        QTest::newRow("click, then salir") << "cmdizq" << 4 << "cmdder salir" << "010120" << 0;
    }
    void writeOrder()
    {
        QFETCH(QString, first);
        QFETCH(int, at);
        QFETCH(QString, input);
        port->atWrite(at, [&] {
            for (const QString &one : input.split(' '))
                post(one);
        });
        QTest::mouseClick(child(first.toLatin1()), Qt::LeftButton);
        QTEST(QString::fromStdString(writes()), "expected");
        QTEST(ends.isEmpty() ? -1 : ends.first(), "status");
        QVERIFY(ends.size() <= 1);
        // One delay after every write but the exit's, at speed 3000.
        QVERIFY(QRegularExpression("^0([0-3]d)+0?$").match(QString::fromStdString(port->log)).hasMatch());
        QCOMPARE(port->bounds, std::vector<long>(port->bounds.size(), 900000));
    }

    // A speed change handled at a pump sets the very next delay; queued behind
    // a direction click, the delay after the new rotation's second write.
    void speedAtNextDelay_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("slow");  // delays at speed 3000
        QTest::addColumn<long>("bound");
        QTest::newRow("Home key") << "Home" << 5 << 200L * 300;
        QTest::newRow("Page Up") << "PageUp" << 5 << 2970L * 300;
        QTest::newRow("thumb drag") << "drag" << 5 << 1000L * 300;
        QTest::newRow("Home key behind a click") << "cmdder Home" << 6 << 200L * 300;
    }
    void speedAtNextDelay()
    {
        QFETCH(QString, input);
        QFETCH(int, slow);
        QFETCH(long, bound);
        port->atWrite(5, [&] {
            for (const QString &one : input.split(' '))
                post(one);
        });
        QTest::mouseClick(child("cmdizq"), Qt::LeftButton);
        std::vector<long> expected(size_t(slow), 900000L);
        expected.resize(12, bound);
        QCOMPARE(port->bounds, expected);
    }

    // Ctrl+P shows the contact message during a rotation, which waits inside
    // it: the box has been answered when the key returns, and no write came
    // meanwhile. Ctrl+F4 then exits as salir does.
    void shortcuts()
    {
        ModalBox box;
        QString answered;
        port->atWrite(3, [&] {
            QTest::keyClick(form.get(), Qt::Key_P, Qt::ControlModifier);
            answered = box.shown + "|" + QString::fromStdString(writes());
        });
        QTest::mouseClick(child("cmdder"), Qt::LeftButton);
        QCOMPARE(answered, QString("Control de un Motor de Pasos: Rotacion|%1|%2|%3|232")
                               .arg(contactPrompt()).arg(QMessageBox::Information).arg(QMessageBox::Ok));
        QCOMPARE(writes(), "232323232323");
        form->activateWindow();  // a window manager would give it back after the box
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_F4, Qt::ControlModifier);
        QCOMPARE(writes(), "2323232323230");
        QCOMPARE(ends, QList<int>({0}));
        QVERIFY(!form->isVisible());
    }

    // Any number of direction clicks, all handled in one pump: each writes its
    // first value at once, and the stack does not grow with them.
    void tenThousandClicks()
    {
        const int clicks = 10000;
        form->rotation().halfStepLimit = clicks + 2;
        std::set<const void *> depths;
        port->onWrite = [&] {
            if (depths.empty())
                for (int k = 1; k <= clicks; ++k)
                    postClick(child(k % 2 ? "cmdder" : "cmdizq"));
            depths.insert(__builtin_frame_address(0));
        };
        QTest::mouseClick(child("cmdder"), Qt::LeftButton);
        QVERIFY2(depths.size() < 10, "a handful of call paths, not one more level per click");
        const std::string out = writes();
        QCOMPARE(out.size(), size_t(clicks + 2));
        for (int k = 1; k <= clicks; ++k)
            QCOMPARE(out[size_t(k)], k % 2 ? '2' : '0');
        QCOMPARE(out.back(), '1');
        QCOMPARE(form->rotation().velocidad, 3000);
    }
};

WINDOW_TEST_MAIN(TestRotacion)
#include "tst_rotacion.moc"
