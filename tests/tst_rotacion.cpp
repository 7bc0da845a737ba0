// The rotacion window and its loop, for a bounded number of half-steps, input posted and handled at its pumps.
#include "form1.h"
#include "support.h"

#include <QScrollBar>

namespace {
const QString kDer = "Rotar A la Derecha", kIzq = "Rotar A la Izquierda";
}

class TestRotacion : public QObject, WindowFixture<Form1> {
    Q_OBJECT

    QScrollBar *bar() { return child<QScrollBar>("VScroll1"); }
    QString writes() const { return port->log.mid(1).remove('d'); }  // after start-up

    // Input during a rotation, by name, queued as the window system queues it.
    void post(const QString &input)
    {
        if (input == "fail")
            throw FatalError("puerto roto");  // from inside the port's write
        else if (input == "close")
            QMetaObject::invokeMethod(form.get(), "close", Qt::QueuedConnection);
        else if (input == "drag")
            QTimer::singleShot(0, bar(), [this] { bar()->setSliderDown(true); bar()->setSliderPosition(1000); });
        else if (child(input))
            postClick(child(input));
        else  // a key: the speed bar's own, or a shortcut of the window
            postKey(input.startsWith("Ctrl") ? static_cast<QWidget *>(form.get()) : bar(), QKeySequence(input)[0]);
    }

private slots:
    void init()
    {
        openWindow(rotacion::EventPump());
        form->rotation().halfStepLimit = 12;
    }

    void layout() { checkLayout(form->centralWidget()); QCOMPARE(QApplication::focusWidget(), form.get()); }

    // Writes from a click on `first`, input at the pump after write `at`: a click switches or restarts at once; exit
    // writes 0, then nothing; a failure ends with 1; the contact box holds it; speed sets the next delay.
    void writeOrder_data()
    {
        // slow: delays at the start-up speed, 3000; speed: of the delays after those
        columns<QString, int, QString, QString, int, int>("first", "at", "input", "expected", "slow", "speed");
        QTest::newRow("left, then right") << kIzq << 2 << "cmdder" << "012323232323" << 12 << 3000;
        QTest::newRow("right restarted mid-pulse") << kDer << 3 << "cmdder" << "232232323232" << 12 << 3000;
        QTest::newRow("menu exit, Ctrl+F4") << kIzq << 4 << "Ctrl+F4" << "01010" << 12 << 3000;
        QTest::newRow("frame close") << kIzq << 4 << "close" << "0101" << 12 << 3000;
        QTest::newRow("click, then salir") << kIzq << 4 << "cmdder salir" << "010120" << 12 << 3000;
        QTest::newRow("contact, Ctrl+P") << kDer << 3 << "Ctrl+P" << "232323232323" << 12 << 3000;
        QTest::newRow("Page Up") << kIzq << 5 << "PgUp" << "010101010101" << 5 << 2970;
        QTest::newRow("thumb drag") << kIzq << 5 << "drag" << "010101010101" << 5 << 1000;
        QTest::newRow("port failure") << kIzq << 5 << "fail" << "01010" << 12 << 3000;
        QTest::newRow("Home key behind a click") << kIzq << 5 << "cmdder Home" << "010102323232" << 6 << 200;
    }
    void writeOrder()
    {
        const auto [first, at, input, slow, speed] =
            fetch<QString, int, QString, int, int>("first", "at", "input", "slow", "speed");
        ModalBox box(&port->log);
        port->atWrite(at, [&] {
            for (const QString &one : input.split(' '))
                post(one);
        });
        QTest::mouseClick(button(first), Qt::LeftButton);
        QTEST(writes(), "expected");
        QCOMPARE(errors, input == "fail" ? QStringList("puerto roto") : QStringList());
        // The contact box was answered inside the pump that showed it, with the port as it was at the write before.
        QCOMPARE(box.showedContact("Control de un Motor de Pasos: Rotacion"), input == "Ctrl+P");
        QVERIFY(box.logAtBox.isEmpty() || box.logAtBox.mid(1).remove('d') == writes().left(at));
        // An exit is the last write, with no delay after it; it ends the program.
        QCOMPARE(ends, port->log.endsWith('d') ? QList<int>() : QList<int>({input == "fail" ? 1 : 0}));
        QVERIFY(QRegularExpression("^0([0-3]d)+0?$").match(port->log).hasMatch());
        std::vector<long> expected(size_t(slow), 900000L);
        expected.resize(port->bounds.size(), speed * 300L);
        QCOMPARE(port->bounds, expected);
    }
};

WINDOW_TEST_MAIN(TestRotacion)
#include "tst_rotacion.moc"
