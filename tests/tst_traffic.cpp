// The traffic's shared rules: the slowdown read and applied, the trace's lines both ways, a running trace's readable
// text, the board's edge and sense; and the readers of trace files.
#include "pacing.h"
#include "reason.h"
#include "table.h"
#include "tracefile.h"
#include "tracetext.h"
#include "write.h"

#include <cerrno>
#include <clocale>
#include <random>

class TestTraffic : public QObject {
    Q_OBJECT

private slots:
    // Digits with at most one full stop: a slowdown from 1 to 100000, a rate from 5 to 100000, both ends in;
    // anything else refused, naming the variable; the shortest gap a rate leaves, half a pulse, by hand.
    void settings_data()
    {
        columns<QByteArray, QByteArray, double, double, qulonglong>("slowdown", "rate", "factor", "pulses", "gap");
        const auto row = [](const char *slowdown, const char *rate, double factor, double pulses, qulonglong gap) {
            QTest::addRow("%s/%s", slowdown, rate)
                << QByteArray(slowdown) << QByteArray(rate) << factor << pulses << gap;
        };
        row("", "", 1, 0, 0), row("1", "5", 1, 5, 100000000), row("6.5", "1000", 6.5, 1000, 500000);
        row("100000", "100000", 100000, 100000, 5000), row("1.", "5.", 1, 5, 100000000);
        row("1", "750.5", 1, 750.5, 666223);
        for (const char *bad : {"0.99", "100001", "2,5", "1e3", "diez", ".", " 2", "-3"})
            row(bad, "", -1, 0, 0), row("", bad, 1, -1, 0);
        row("", "4.99", 1, -1, 0), row("", "100000.1", 1, -1, 0);
    }
    void settings()
    {
        const auto [slowdown, rate, factor, pulses, gap] =
            fetch<QByteArray, QByteArray, double, double, qulonglong>("slowdown", "rate", "factor", "pulses", "gap");
        traffic::Pacing read{-1, -1};
        const std::string message = traffic::readPacing(slowdown.constData(), rate.constData(), read);
        const bool refused = factor < 0 || pulses < 0;
        QCOMPARE(message.empty(), !refused);
        QCOMPARE(read.slowdown, refused ? 1 : factor);
        QCOMPARE(read.maxRate, refused ? 0 : pulses);
        QCOMPARE(qulonglong(read.shortestGap()), gap);
        const QByteArray named = factor < 0 ? "PARPORT_SLOWDOWN vale «" + slowdown : "PARPORT_MAXRATE vale «" + rate;
        QVERIFY(!refused || QByteArray::fromStdString(message).contains(named + "»"));
    }

    // N times the gap; never past 0.1 s; a gap over 50 ms (the program idle) as it was; under a rate, no gap shorter
    // than half its pulse, a longer one as it was; with both, the longer of the two.
    void paced_data()
    {
        columns<qulonglong, double, double, qulonglong>("gap", "slowdown", "rate", "paced");
        QTest::newRow("ten times") << 20000ULL << 10.0 << 0.0 << 200000ULL;
        QTest::newRow("capped at 0.1 s") << 50000000ULL << 3.0 << 0.0 << 100000000ULL;
        QTest::newRow("over 50 ms: idle") << 50000001ULL << 3.0 << 0.0 << 50000001ULL;
        QTest::newRow("a longer gap as it was") << 700000ULL << 1.0 << 1000.0 << 700000ULL;
        QTest::newRow("both: the slowdown's longer") << 400000ULL << 2.0 << 1000.0 << 800000ULL;
        QTest::newRow("both: the rate's longer") << 17000ULL << 2.0 << 1000.0 << 500000ULL;
    }
    void paced()
    {
        const auto [gap, slowdown, rate, paced] = fetch<qulonglong, double, double, qulonglong>("gap", "slowdown",
                                                                                                 "rate", "paced");
        QCOMPARE(qulonglong(traffic::pacedGap(gap, {slowdown, rate})), paced);
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

    // Trace files as programs and tools leave them ('@' a zero byte): their writes, <t>:<value> each, or a message.
    void files_data()
    {
        columns<QByteArray, QString>("content", "read");
        QTest::newRow("text trace, a negative value") << QByteArray("100 888 0\n200 888 1\n300 888 -1\n") << "100:0 200:1 300:3";
        QTest::newRow("other ports left out, equal times read") << QByteArray("100 888 1\n100 889 3\n100 888 0\n")
                                                                << "100:1 100:0";
        QTest::newRow("a killed run's reserve and mark") << QByteArray("100 888 1\n200 88@@@@@\nlibinpout32 reserva\n")
                                                         << "100:1";
        QTest::newRow("a file's own lines before the trace") << QByteArray("mis notas\n\n100 888 3\n") << "100:3";
        QTest::newRow("times going backwards") << QByteArray("200 888 1\n100 888 0\n") << "hacia atrás en la línea 2";
        QTest::newRow("the latest time a clock reads, 2^62 ns") << QByteArray("0 888 0\n4611686018427387904 888 3\n"
            "4611686018427387904 888 1\n") << "0:0 4611686018427387904:3 4611686018427387904:1";
        QTest::newRow("a time past any clock") << QByteArray("0 888 0\n18446744073704551615 888 1\n") << "ningún reloj";
        QTest::newRow("a line that is not a write") << QByteArray("100 888 1\n200 888\n") << "la línea 2 no es";
        QTest::newRow("not a trace") << QByteArray("hola\n") << "no es una traza";
        QTest::newRow("empty") << QByteArray() << "no es una traza";
        const QByteArray header("$timescale 1 us $end $scope module p $end $var wire 1 # otra $end\n"
                                "$var wire 1 ! D0_pulso $end $var wire 1 \" D1_direccion $end $upscope $end\n");
        QTest::newRow("dump") << header + "$enddefinitions $end\n#0 $dumpvars 0! 1\" 0# $end #36 1! 1# #54 0! #60 b1 \""
                              << "0:2 36000:3 54000:2";
        QTest::newRow("dump at 10 ns, unknown levels low")
            << QByteArray("$timescale 10ns $end $var wire 1 a D0_pulso $end $var reg 1 b D1_direccion $end "
                          "$enddefinitions $end #0 xa 0b $comment 1a $end #3 1a #5 za")
            << "0:0 30:1 50:0";
        QTest::newRow("dump at 100ps") << QByteArray(header).replace("1 us", "100ps") + "$enddefinitions $end "
                                          "#0 0! 1\" #36 1! #54 0!" << "0:2 3:3 5:2";
        QTest::newRow("dump with no change") << header + "$enddefinitions $end #0 #10 1# #20" << "sin ningún cambio";
        QTest::newRow("dump without direction") << QByteArray("$var wire 1 ! D0_pulso $end $enddefinitions $end #0 1!")
                                                << "sin la línea D1_direccion";
        QTest::newRow("dump going backwards") << header + "$enddefinitions $end #5 1! #4 0!" << "hacia atrás";
        QTest::newRow("dump cut short") << header << "está incompleto";
    }
    void files()
    {
        const auto [content, read] = fetch<QByteArray, QString>("content", "read");
        const QString path = QCoreApplication::applicationDirPath() + "/tst_traffic.trace";
        QVERIFY(put(path, QByteArray(content).replace('@', '\0')));
        traffic::WriteLog writes;
        const QString message = QString::fromStdString(traffic::readTraffic(path.toStdString(), writes));
        QStringList got;
        traffic::WriteLog::Reader reader = writes.reader();
        for (traffic::PortWrite write; reader.next(write);)
            got << QStringLiteral("%1:%2").arg(write.time).arg(write.value);
        if (QByteArray(QTest::currentTestFunction()) == "longFiles" && !got.empty())
            got = QStringList{QString::number(got.size()), got.back()};
        QVERIFY2(message.isEmpty() ? got.join(' ') == read : message.contains(read) && message.contains(path),
                 qPrintable(message + got.join(' ')));
    }

    // Files read a megabyte at a time: lines across the reads' edges, a dump on one line, lines past 64 KiB. `read`:
    // how many writes, and the last one's <t>:<value>; or the message.
    void longFiles_data()
    {
        columns<QByteArray, QString>("content", "read");
        QByteArray trace, dump("$var wire 1 ! D0_pulso $end $var wire 1 \" D1_direccion $end $enddefinitions $end");
        for (int i = 0; i < 100000; ++i) {  // 14 bytes a line: 1.4 MB
            trace += QByteArray::number(1000000 + i) + " 888 " + QByteArray::number(i % 2 * 3) + '\n';
            dump += " #" + QByteArray::number(i) + (i % 2 ? " 1! 1\"" : " 0! 0\"");
        }
        QTest::newRow("text") << trace << "100000 1099999:3";
        QTest::newRow("a dump on one line") << dump << "100000 99999:3";
        const QByteArray longest(100000, 'x');
        QTest::newRow("a file's own long line first") << longest + "\n5 888 1\n" << "1 5:1";
        QTest::newRow("a long figure after the writes") << "5 888 1\n" + QByteArray(100000, '7') + "\n"
                                                        << "la línea 2 no es";
        QTest::newRow("a note after the writes") << "5 888 1\n" + longest + "\n7 888 0\n" << "2 7:0";
    }
    void longFiles() { files(); }

    // Bytes changed at random in a trace and in a dump: a message, or writes in order; never a crash.
    void readersFuzzed()
    {
        std::mt19937 random(7);
        const std::string trace("100 888 0\n200 888 1\n300 888 0\n");
        const std::string dump("$var wire 1 ! D0_pulso $end $var wire 1 \" D1_direccion $end $enddefinitions $end "
                               "#0 0! 0\" #5 1! #9 0!");
        for (int i = 0; i < 4000; ++i) {
            std::string text = i % 2 ? trace : dump;
            for (int n = int(random() % 4); n >= 0; --n)
                text[random() % text.size()] = char(random() % 256);
            traffic::WriteLog writes;
            const bool read = traffic::parseTraffic("f", text, writes).empty();
            QVERIFY(read != writes.empty());
            traffic::WriteLog::Reader reader = writes.reader();
            for (traffic::PortWrite write, before{0, 0}; reader.next(write); before = write)
                QVERIFY(write.time >= before.time);
        }
    }
};

QTEST_GUILESS_MAIN(TestTraffic)
#include "tst_traffic.moc"
