// The traffic's shared rules: the slowdown read and applied, the trace's lines both ways, a running trace's readable
// text, and the board's edge and sense.
#include "pacing.h"
#include "reason.h"
#include "table.h"
#include "tracetext.h"
#include "write.h"

#include <cerrno>
#include <clocale>

class TestTraffic : public QObject {
    Q_OBJECT

private slots:
    // Digits with at most one full stop, from 1 to 100000 inclusive; anything else refused, naming the variable.
    void slowdown_data()
    {
        columns<QByteArray, double>("setting", "factor");  // factor 0: refused
        for (const auto &[setting, factor] : std::initializer_list<std::pair<const char *, double>>{
                 {"", 1}, {"1", 1}, {"6.5", 6.5}, {"100000", 100000}, {"1.", 1}, {"0.99", 0}, {"100001", 0},
                 {"2,5", 0}, {"1e3", 0}, {"diez", 0}, {".", 0}, {" 2", 0}, {"-3", 0}})
            QTest::newRow(*setting ? setting : "empty") << QByteArray(setting) << factor;
    }
    void slowdown()
    {
        const auto [setting, factor] = fetch<QByteArray, double>("setting", "factor");
        double read = -1;
        const std::string message = traffic::readSlowdown(setting.constData(), read);
        QCOMPARE(read, factor ? factor : 1);
        QCOMPARE(message.empty(), factor != 0);
        QVERIFY(factor || message.find("PARPORT_SLOWDOWN vale «" + setting.toStdString() + "»") != std::string::npos);
    }

    // N times the gap; never past 0.1 s; a gap over 50 ms (the program idle) as it was.
    void stretched_data()
    {
        columns<qulonglong, double, qulonglong>("gap", "slowdown", "stretched");
        QTest::newRow("ten times") << 20000ULL << 10.0 << 200000ULL;
        QTest::newRow("a half") << 1000ULL << 1.5 << 1500ULL;
        QTest::newRow("none") << 1000ULL << 1.0 << 1000ULL;
        QTest::newRow("capped at 0.1 s") << 50000000ULL << 3.0 << 100000000ULL;
        QTest::newRow("over 50 ms: idle") << 50000001ULL << 3.0 << 50000001ULL;
    }
    void stretched()
    {
        const auto [gap, slowdown, stretched] = fetch<qulonglong, double, qulonglong>("gap", "slowdown", "stretched");
        QCOMPARE(qulonglong(traffic::stretchedGap(gap, slowdown)), stretched);
    }

    // A line as written, and lines read back: blanks around the figures, a sign; nothing else is a write.
    void lines_data()
    {
        columns<QByteArray, bool, qulonglong, qulonglong, int>("line", "write", "time", "address", "value");
        QTest::newRow("as written") << QByteArray("18446744073709551615 888 3") << true << ~0ULL << 888ULL << 3;
        QTest::newRow("blanks, a carriage return") << QByteArray(" 5\t888  1 \r") << true << 5ULL << 888ULL << 1;
        QTest::newRow("negative: its low bits") << QByteArray("5 888 -1") << true << 5ULL << 888ULL << 3;
        for (const char *bad : {"5 888", "5 888 1x", "x 888 1", "5 888 - 1", "5 888 1 2", "99999999999999999999 888 1"})
            QTest::newRow(bad) << QByteArray(bad) << false << 0ULL << 0ULL << 0;
    }
    void lines()
    {
        const auto [line, write, time, address, value] =
            fetch<QByteArray, bool, qulonglong, qulonglong, int>("line", "write", "time", "address", "value");
        traffic::TraceLine read;
        QCOMPARE(traffic::readTraceLine({line.constData(), size_t(line.size())}, read), write);
        QVERIFY(!write || (read.time == time && read.address == address && (read.value & 3) == value));
        char buffer[traffic::kLineMax], *const end = buffer + sizeof buffer;
        if (const char *written = traffic::traceLine(end, time, 888, short(value)); line.startsWith('1'))
            QCOMPARE(QByteArray(written, int(end - written)), line + "\n");
    }

    // Up to the first zero byte, and of that only the whole lines; a file with no zero byte is read whole.
    void readable_data()
    {
        columns<QByteArray, QByteArray>("text", "readable");
        QTest::newRow("whole") << QByteArray("1 888 1\n2 888 0") << QByteArray("1 888 1\n2 888 0");
        QTest::newRow("a reserve after the lines") << QByteArray("1 888 1\n\0\0mark\n", 14) << QByteArray("1 888 1\n");
        QTest::newRow("a line half there") << QByteArray("1 888 1\n2 88\0\0", 14) << QByteArray("1 888 1\n");
        QTest::newRow("nothing yet") << QByteArray("\0\0", 2) << QByteArray();
    }
    void readable()
    {
        const auto [text, readable] = fetch<QByteArray, QByteArray>("text", "readable");
        const std::string_view taken = traffic::readableText({text.constData(), size_t(text.size())});
        QCOMPARE(QByteArray(taken.data(), int(taken.size())), readable);
    }

    // The system's reasons in Spanish whatever the locale; one not in the table by its number and the system's text.
    void reasons_data()
    {
        columns<QByteArray, int, QString>("locale", "err", "reason");
        for (const char *locale : {"C", "es_ES.UTF-8"}) {
            QTest::addRow("%s: ENOENT", locale) << QByteArray(locale) << ENOENT << "no existe";
            QTest::addRow("%s: EACCES", locale) << QByteArray(locale) << EACCES << "no tiene permiso";
            QTest::addRow("%s: ENOSPC", locale) << QByteArray(locale) << ENOSPC << "no queda sitio en el disco";
            QTest::addRow("%s: EMFILE", locale) << QByteArray(locale) << EMFILE
                                                << "el proceso tiene demasiados ficheros abiertos";
            QTest::addRow("%s: unknown", locale) << QByteArray(locale) << 4095 << "error 4095 (";
        }
    }
    void reasons()
    {
        const auto [locale, err, reason] = fetch<QByteArray, int, QString>("locale", "err", "reason");
        qputenv("LOCPATH", QByteArray(LOCALES));
        if (!setlocale(LC_ALL, locale.constData()))
            QSKIP("no Spanish locale was built into " LOCALES);
        const QString text = QString::fromStdString(traffic::reason(err));
        setlocale(LC_ALL, "C");
        QVERIFY2(err == 4095 ? text.startsWith(reason) && text.endsWith(')') : text == reason, qPrintable(text));
    }

    // A step on the edge the board takes, in the sense the direction line gives at that edge.
    void board_data()
    {
        columns<bool, bool, int, int, bool, int>("falling", "lowIsClockwise", "before", "after", "steps", "sense");
        QTest::newRow("rising, low") << false << true << 0 << 1 << true << 1;
        QTest::newRow("rising, high") << false << true << 2 << 3 << true << -1;
        QTest::newRow("falling taken as none") << false << true << 1 << 0 << false << 1;
        QTest::newRow("falling board, falling") << true << true << 3 << 2 << true << -1;
        QTest::newRow("falling board, rising") << true << true << 0 << 1 << false << 1;
        QTest::newRow("high is clockwise") << false << false << 2 << 3 << true << 1;
        QTest::newRow("direction changes with the edge") << false << true << 0 << 3 << true << -1;
    }
    void board()
    {
        const auto [falling, lowIsClockwise, before, after, steps, sense] =
            fetch<bool, bool, int, int, bool, int>("falling", "lowIsClockwise", "before", "after", "steps", "sense");
        const traffic::BoardRules rules{falling, lowIsClockwise};
        QCOMPARE(rules.steps(before, after), steps);
        QCOMPARE(rules.sense(after), sense);
    }
};

QTEST_APPLESS_MAIN(TestTraffic)
#include "tst_traffic.moc"
