// The turn commands of vueltas: number reading, the pulse count and the exact
// traffic of a counted move; and the real port library on the simulated port.
#include "errors.h"
#include "support.h"
#include "trace.h"
#include "turns.h"

#include <QtTest>
#include <cmath>
#include <limits>

using vueltas::Turns;

class TestTurns : public QObject {
    Q_OBJECT

private slots:
    void readNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("number");
        QTest::newRow("blanks inside") << "1 2" << 12.0;
        QTest::newRow("blanks tabs feeds") << " \t-\n1 .\t5 " << -1.5;
        QTest::newRow("comma stops") << "2,5" << 2.0;
        QTest::newRow("words after") << "3 vueltas" << 3.0;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("exponent") << "2.5E1" << 25.0;
        QTest::newRow("exponent d, sign") << "25d-1" << 2.5;
        QTest::newRow("exponent, no digits") << "4e+x" << 4.0;
        QTest::newRow("leading point") << "-.25" << -0.25;
        QTest::newRow("sign alone") << "-" << 0.0;
        QTest::newRow("point alone") << "." << 0.0;
        QTest::newRow("huge") << "1e400" << std::numeric_limits<double>::infinity();
    }
    void readNumber()
    {
        QFETCH(QString, text);
        QTEST(vueltas::readNumber(text.toStdString()), "number");
    }

    // Each counted move: the pulses it makes, or the error it stops with.
    void countedMoves_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("pulses");  // -1: stops with an error
        QTest::newRow("1") << "1" << 96;
        QTest::newRow("0.5") << "0.5" << 48;
        QTest::newRow("2.5") << "2.5" << 240;
        // A product halfway between two counts goes to the even one.
        const double halves[][2] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, 0}};  // -1.5: -2, no pulse
        for (const auto &half : halves)
            QTest::newRow(qPrintable("product " + QString::number(half[0])))
                << QString::number(half[0] / 96, 'g', 17) << int(half[1]);
        QTest::newRow("blank") << " " << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("letters") << "xyz" << 0;
        QTest::newRow("negative") << "-2" << 0;
        QTest::newRow("341") << "341" << 32736;
        QTest::newRow("32767 pulses") << "341.32291667" << 32767;
        QTest::newRow("32768 pulses") << "341.3334" << -1;
        QTest::newRow("342") << "342" << -1;
        QTest::newRow("-342") << "-342" << -1;
        QTest::newRow("not finite") << "1e307" << -1;
        QTest::newRow("infinite") << "1e400" << -1;
    }
    void countedMoves()
    {
        QFETCH(QString, text);
        QFETCH(int, pulses);
        for (bool left : {false, true}) {
            RecordingPort port;
            Turns turns(port);
            turns.arranque();
            const std::string typed = text.toStdString();
            try {
                left ? turns.moverIzquierda(typed) : turns.moverDerecha(typed);
                QVERIFY2(pulses >= 0, "no error");
            } catch (const InputError &error) {
                QCOMPARE(pulses, -1);
                const QString message = QString::fromUtf8(error.what());
                QVERIFY2(message.contains("«" + text + "»") && message.contains("341"), qPrintable(message));
            }
            // Start-up, then the pulses, with no final write; an error writes nothing.
            const std::string pulse = left ? "3dd2dd" : "1dd0dd";
            QCOMPARE(port.log, "0" + repeat(pulse, std::max(pulses, 0)));
            QVERIFY(!port.otherAddress);
            QCOMPARE(port.bounds, std::vector<long>(size_t(std::max(pulses, 0)) * 4, 30000L));
        }
    }

    // The real library, bound by name, on the simulated port.
    void throughTheLibrary()
    {
        const QString path = freshTrace(QCoreApplication::applicationDirPath(), "turns");
        qputenv("PARPORT", "sim");
        qputenv("PARPORT_PUBLISH", "0");
        qputenv("PARPORT_TRACE", path.toLocal8Bit());
        motor::ParallelPort port;
        Turns turns(port);
        turns.arranque();
        QCOMPARE(turns.reta(), 30001L);
        turns.giroIzquierda();
        const std::vector<TraceLine> trace = readTrace(path);
        QCOMPARE(int(trace.size()), 1 + 193);
        std::string values;
        for (const TraceLine &line : trace) {
            QCOMPARE(line.address, 888);
            values += char('0' + line.value);
        }
        QCOMPARE(values, "0" + repeat("32", 96) + "0");
    }
};

QTEST_GUILESS_MAIN(TestTurns)
#include "tst_turns.moc"
