// PARPORT_SLOWDOWN: every gap between two writes stretched as asked, and the settings refused.
#include "library.h"

#include <clocale>

class TestSlowdown : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    void refused_data()
    {
        failureColumns();
        for (const QString bad : {"0.99", "2,5"})  // the settings read: tst_traffic
            failure(qPrintable(bad), "PARPORT=sim PARPORT_SLOWDOWN=" + bad, "", 0,
                    {"PARPORT_SLOWDOWN vale «" + bad + "»", "100000"});
    }
    void refused() { checkFailure(); }

    // PARPORT_SLOWDOWN=6.5, read in a comma locale, makes each gap 6.5 times as long; none past 0.1 s, over 50 ms kept.
    void slowdown()
    {
        qputenv("LOCPATH", QByteArray(LOCALES));
        if (!setlocale(LC_ALL, "es_ES.UTF-8"))
            QSKIP("no Spanish locale was built into " LOCALES);
        start("PARPORT=sim PARPORT_SLOWDOWN=6.5 PARPORT_TRACE=@/slow.trace");
        fake.clock = 1000;
        const unsigned long long gaps[] = {0, 500, 20000000, 60000000};
        for (unsigned long long gap : gaps)
            fake.clock += gap, Out32(888, 1);
        inpout::reset(), setlocale(LC_ALL, "C");
        const QStringList trace = lines(qgetenv("PARPORT_TRACE"));
        QCOMPARE(trace.size(), 4);
        for (int i = 1; i < 4; ++i) {
            const unsigned long long gap = timeOf(trace[i]) - timeOf(trace[i - 1]);
            const unsigned long long expected = gaps[i] > 50000000 ? gaps[i] : std::min(gaps[i] * 13 / 2, 100000000ULL);
            QVERIFY2(gap >= expected && gap < expected + 40, qPrintable(trace.join('|')));
        }
    }
};

QTEST_GUILESS_MAIN(TestSlowdown)
#include "tst_slowdown.moc"
