// The simulated board: its model as a table, the shared area between a writer
// and a reader, and the viewer's window on the offscreen platform.
#include "board.h"
#include "reader.h"
#include "widgets.h"
#include "window.h"

#include <QComboBox>
#include <QLabel>
#include <QtTest>
#include <unistd.h>

using simulador::Board;

class TestSimulador : public QObject {
    Q_OBJECT

    published::Area *area = nullptr;

    // A fresh area in a file under the test's build folder.
    void freshArea()
    {
        const std::string path = QCoreApplication::applicationDirPath().toStdString() + "/simulador.area";
        ::unlink(path.c_str());
        std::string error;
        area = published::mapArea(path, error);
        QVERIFY2(area, error.c_str());
    }
    void write(const char *values, unsigned long long from = 1000, unsigned long long step = 1000)
    {
        for (const char *v = values; *v; ++v, from += step)
            published::publish(*area, from, 888, short(*v - '0'));
    }

private slots:
    void cleanup()
    {
        published::unmapArea(area);
        area = nullptr;
    }

    void board_data()
    {
        QTest::addColumn<bool>("falling");
        QTest::addColumn<bool>("lowClockwise");
        QTest::addColumn<QString>("values");
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("steps");
        QTest::addColumn<double>("angle");
        const QString turn = "0" + QString("10").repeated(96) + "0";
        QTest::newRow("vueltas full turn right") << false << true << turn << 96 << 96 << 0.0;
        QTest::newRow("vueltas one pulse left") << false << true << "032" << -1 << 1 << 356.25;
        QTest::newRow("rotacion right") << false << true << "02323" << -2 << 2 << 352.5;
        QTest::newRow("rotacion left") << false << true << "00101" << 2 << 2 << 7.5;
        QTest::newRow("falling edge") << true << true << "01" << 0 << 0 << 0.0;
        QTest::newRow("falling edge, pulse") << true << true << "010" << 1 << 1 << 3.75;
        QTest::newRow("other sense") << false << false << "010" << -1 << 1 << 356.25;
        QTest::newRow("first value sets the lines") << false << true << "101" << 1 << 1 << 3.75;
        QTest::newRow("direction changes") << false << true << "010323" << -1 << 3 << 356.25;
        QTest::newRow("wraps past a turn") << false << true << "0" + QString("10").repeated(97) << 97 << 97 << 3.75;
    }
    void board()
    {
        QFETCH(bool, falling);
        QFETCH(bool, lowClockwise);
        QFETCH(QString, values);
        QFETCH(int, position);
        QFETCH(int, steps);
        QFETCH(double, angle);
        Board model;
        model.settings = {falling, lowClockwise};
        for (QChar v : values)
            model.feed(v.digitValue());
        QCOMPARE(model.position(), long(position));
        QCOMPARE(model.steps(), long(steps));
        QCOMPARE(model.angle(), angle);
        QCOMPARE(model.pulse(), values.back().digitValue() & 1);
    }

    void readerFollowsWriter()
    {
        freshArea();
        const int slot = published::attach(*area, "vueltas");
        QVERIFY(slot >= 0);
        simulador::PortReader reader(*area);
        write("0");  // before the first look: not taken
        QVERIFY(reader.take().empty());
        write("1032", 5000);
        std::vector<published::Write> got = reader.take();
        QCOMPARE(got.size(), size_t(4));
        QCOMPARE(got[0].address, 888);
        QCOMPARE(got[3].value, short(2));
        QCOMPARE(got[3].time, 8000ULL);
        QCOMPARE(reader.programs().size(), size_t(1));
        QCOMPARE(reader.programs()[0].name, "vueltas");
        QCOMPARE(reader.programs()[0].pid, int(getpid()));

        // The writer ends and another starts: the reader goes on from where it was.
        published::detach(*area, slot);
        QVERIFY(reader.programs().empty());
        QCOMPARE(published::attach(*area, "rotacion"), slot);
        write("23", 9000);
        got = reader.take();
        QCOMPARE(got.size(), size_t(2));
        QCOMPARE(got[0].value, short(2));
        QCOMPARE(reader.programs()[0].name, "rotacion");
        QCOMPARE(reader.lost(), 0ULL);
    }

    // A reader that falls behind loses the oldest writes, and only those.
    void readerFallsBehind()
    {
        freshArea();
        simulador::PortReader reader(*area);
        reader.take();
        const unsigned long long extra = 100;
        for (unsigned long long i = 0; i < published::kRing + extra; ++i)
            published::publish(*area, i, 888, short(i & 3));
        const std::vector<published::Write> got = reader.take();
        QCOMPARE(got.size(), size_t(published::kRing));
        QCOMPARE(reader.lost(), extra);
        QCOMPARE(got.front().time, extra);
        QCOMPARE(got.back().time, published::kRing + extra - 1);
    }

    void viewer()
    {
        freshArea();
        simulador::SimuladorWindow window(*area);
        window.show();
        auto text = [&](const char *name) { return window.findChild<QLabel *>(name)->text(); };
        QVERIFY(text("programa").startsWith("Ningún programa"));

        const int slot = published::attach(*area, "vueltas");
        const unsigned long long now = 10000000000ULL;
        write(("0" + QString("10").repeated(96) + "0").toLatin1(), now - 200000000, 1000000);
        window.frame(now);
        QCOMPARE(window.board().position(), 96L);
        QCOMPARE(text("posicion"), "Posición: 96 pasos (1,00 vueltas)");
        QCOMPARE(text("velocidad"), "Velocidad: 192 pasos/s, 120,0 rpm");  // 96 steps in the last half second
        QCOMPARE(text("sentido"), "Sentido: horario");
        QVERIFY(text("programa").contains("vueltas"));
        QCOMPARE(window.findChild<simulador::Dial *>("dial")->angle(), 0.0);
        QVERIFY(!window.findChild<simulador::Lamp *>("lamparaPulso")->lit());

        // The other sense, chosen by the person, is in force at once.
        window.findChild<QComboBox *>("sentidoBajo")->setCurrentIndex(1);
        QVERIFY(text("enVigor").contains("bit 1 a 0: antihorario"));
        write("1", now);
        window.frame(now + 1);
        QCOMPARE(window.board().position(), 95L);
        QVERIFY(window.findChild<simulador::Lamp *>("lamparaPulso")->lit());
        published::detach(*area, slot);
    }
};

QTEST_MAIN(TestSimulador)
#include "tst_simulador.moc"
