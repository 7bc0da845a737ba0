// The port's traffic as a Value Change Dump: its exact text, and that a logic
// analyser's stepper decoder counts a full turn from it.
#include "vcd.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

using Times = QList<qulonglong>;
using Values = QList<int>;

static QByteArray dump(const Times &times, const Values &values)
{
    QByteArray text = QByteArray::fromStdString(vcd::header("Sun Dec  6 10:00:00 2026", "1.0"));
    vcd::Lines lines;
    char out[vcd::kWriteMax];
    for (qsizetype i = 0; i < values.size(); ++i)
        text.append(out, qsizetype(vcd::write(out, lines, times[i], values[i])));
    return text;
}

class TestVcd : public QObject {
    Q_OBJECT

private slots:
    void text_data()
    {
        QTest::addColumn<Times>("times");
        QTest::addColumn<Values>("values");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("header; both lines first, then only what changed")
            << Times{0, 17000, 34000, 51000} << Values{0, 1, 3, 2}
            << QByteArray("$date\n\tSun Dec  6 10:00:00 2026\n$end\n$version\n\tlibinpout32 1.0\n$end\n$timescale 1 ns $end\n"
                          "$scope module puerto $end\n$var wire 1 ! D0_pulso $end\n$var wire 1 \" D1_direccion $end\n"
                          "$upscope $end\n$enddefinitions $end\n#0\n0!\n0\"\n#17000\n1!\n#34000\n1\"\n#51000\n0!\n");
        QTest::newRow("no line changed: the time alone; other bits are no line")
            << Times{0, 5, 9} << Values{2, 2, 6} << QByteArray("#0\n0!\n1\"\n#5\n#9\n");
        QTest::newRow("a time not after the last is put 1 ns after it") << Times{100, 100, 50, 200} << Values{0, 1, 0, 1}
                                                                        << QByteArray("#100\n0!\n0\"\n#101\n1!\n#102\n0!\n#200\n1!\n");
        QTest::newRow("the longest time") << Times{18446744073709551615ULL} << Values{3} << QByteArray("#18446744073709551615\n1!\n1\"\n");
    }
    void text()
    {
        QFETCH(Times, times);
        QFETCH(Values, values);
        QFETCH(QByteArray, expected);
        const QByteArray text = dump(times, values);  // the rows after the first leave the header out
        QCOMPARE(expected.startsWith('$') ? text : text.mid(text.indexOf('#')), expected);
    }

    // A right turn of vueltas: the decoder steps on the pulse line's rising
    // edge and counts a low direction line down. It shows each position
    // between two steps, so the last one is the position before the last step.
    void fullTurnDecodes()
    {
        if (QStandardPaths::findExecutable("sigrok-cli").isEmpty())
            QSKIP("sigrok-cli is not installed");
        Values values{0};
        for (int i = 0; i < 96; ++i)
            values << 1 << 0;
        values << 0;
        Times times;
        for (qsizetype i = 0; i < values.size(); ++i)
            times << i * 17000ULL;  // about as far apart as vueltas' writes
        QFile file(QCoreApplication::applicationDirPath() + "/tst_vcd.vcd");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(dump(times, values)) > 0);
        file.close();
        QProcess sigrok;
        sigrok.start("sigrok-cli", {"-I", "vcd:downsample=1000", "-i", file.fileName(), "-P",
                                    "stepper_motor:step=D0_pulso:dir=D1_direccion", "-A", "stepper_motor=position"});
        QVERIFY(sigrok.waitForFinished(60000));
        const QStringList out = QString(sigrok.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(out.size(), 95);
        QCOMPARE(out.last(), QString("stepper_motor-1: -95 steps"));
    }
};

QTEST_GUILESS_MAIN(TestVcd)
#include "tst_vcd.moc"
