// PARPORT_SLOWDOWN and PARPORT_MAXRATE: every gap between two writes paced as asked (refused: tst_messages).
#include "library.h"

#include <clocale>

class TestSlowdown : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    // The gaps a program makes (after a first write), and what the library makes of them on a stand-in clock, read in
    // a comma locale: the longer of N times as long and half a pulse of the rate, none past 0.1 s, over 50 ms kept.
    void paced_data()
    {
        columns<QString, QList<qulonglong>, QList<qulonglong>>("settings", "gaps", "paced");
        QTest::newRow("both") << "PARPORT_SLOWDOWN=2.5 PARPORT_MAXRATE=1000.0"
                              << QList<qulonglong>{500, 400000, 45000000, 60000000}
                              << QList<qulonglong>{500000, 1000000, 100000000, 60000000};
    }
    void paced()
    {
        const auto [settings, gaps, paced] = fetch<QString, QList<qulonglong>, QList<qulonglong>>("settings", "gaps",
                                                                                                   "paced");
        qputenv("LOCPATH", QByteArray(LOCALES));
        if (!setlocale(LC_ALL, "es_ES.UTF-8"))
            QSKIP("no Spanish locale was built into " LOCALES);
        start("PARPORT=sim PARPORT_TRACE=@/slow.trace " + settings);
        fake.clock = 1000;
        Out32(888, 1);
        for (unsigned long long gap : gaps)
            fake.clock += gap, Out32(888, 1);
        inpout::reset(), setlocale(LC_ALL, "C");
        const QStringList trace = lines(qgetenv("PARPORT_TRACE"));
        QCOMPARE(trace.size(), gaps.size() + 1);
        for (int i = 0; i < gaps.size(); ++i) {
            const unsigned long long gap = timeOf(trace[i + 1]) - timeOf(trace[i]);
            QVERIFY2(gap >= paced[i] && gap < paced[i] + 40, qPrintable(trace.join('|')));
        }
    }
};

QTEST_GUILESS_MAIN(TestSlowdown)
#include "tst_slowdown.moc"
