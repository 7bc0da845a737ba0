// The turn commands of vueltas: the pulses read from the turns text, a move's exact traffic, how the program ends.
#include "clock.h"
#include "endingsignals.h"
#include "errors.h"
#include "published.h"
#include "support.h"
#include "turns.h"

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

constexpr int kRefused = 1 << 20;  // the move stops with an error before its first pulse
constexpr char kTurnForever[] = "--girar-sin-fin";  // this program as one that turns until a signal ends it

class TestTurns : public QObject {
    Q_OBJECT

private slots:
    void countedMoves_data()
    {
        columns<QString, int>("text", "count");  // count: what pulseCount gives; no pulse below 1
        const std::pair<const char *, int> rows[] = {
            {"1", 96}, {"0.5", 48}, {"2.5", 240}, {" ", 0}, {"", 0}, {"xyz", 0}, {"-2", -192},
            // Lenient reading: blanks anywhere, the rest after the number ignored.
            {"1 2", 1152}, {" \t-\n1 .\t5 ", -144}, {"2,5", 192}, {"3 vueltas", 288}, {"1.2.3", 115},
            {"2.5E1", 2400}, {"25d-1", 240}, {"4e+x", 384}, {"-.25", -24}, {"-", 0}, {".", 0},
            {"341", 32736}, {"341.32291667", 32767}, {"341.3334", kRefused}, {"342", kRefused},
            {"-341.33333333", -32768}, {"-342", kRefused}, {"1e307", kRefused}, {"1e400", kRefused}};
        for (auto [text, count] : rows)
            QTest::addRow("«%s»", text) << QString(text) << count;
        // A product halfway between two counts goes to the even one.
        for (auto [product, count] : {std::pair{0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}})
            QTest::addRow("product %g", product) << QString::number(product / 96, 'g', 17) << count;
    }
    void countedMoves()
    {
        const auto [text, count] = fetch<QString, int>("text", "count");
        for (const QString pulse : {"1dd0dd", "3dd2dd"}) {
            RecordingPort port;
            vueltas::Turns turns(port);
            turns.arranque();
            try {
                pulse[0] == '1' ? turns.moverDerecha(text.toStdString()) : turns.moverIzquierda(text.toStdString());
                QCOMPARE(vueltas::pulseCount(text.toStdString()), count);
            } catch (const InputError &error) {
                QCOMPARE(count, kRefused);
                QVERIFY2(QString(error.what()).contains("«" + text + "»") && QString(error.what()).contains("341"),
                         error.what());
            }
            // Start-up, then the pulses, with no final write; an error writes nothing.
            const int pulses = count == kRefused ? 0 : std::max(count, 0);
            QCOMPARE(port.log, "0" + pulse.repeated(pulses));
            QCOMPARE(port.bounds, std::vector<long>(size_t(pulses) * 4, 30000L));
        }
    }

    // A move given a look (slowed traffic) looks ('L') between pulses once 50 ms have passed since it began or last
    // looked, and stops at the look that answers yes, after that pulse: a turn stopped makes no final write.
    void looks_data()
    {
        columns<int, QString>("stopAt", "traffic");  // stopAt: the look that answers yes, 0 none
        const QString p = "3dd2dd";  // a clock that reads 10 ms later at each pulse
        QTest::newRow("looks every fifth pulse") << 0 << (p.repeated(5) + "L").repeated(19) + p + "0";
        QTest::newRow("stopped at the second look") << 2 << (p.repeated(5) + "L").repeated(2);
    }
    void looks()
    {
        QFETCH(int, stopAt);
        RecordingPort port;
        vueltas::Turns turns(port);
        turns.clock = [now = 3600000000000ULL]() mutable { return now += 10000000ULL; };  // up an hour
        turns.stopRequested = [&port, stopAt] { port.log += 'L'; return port.log.count('L') == stopAt; };
        turns.arranque(), turns.giroIzquierda();
        QTEST(port.log.mid(1), "traffic");
    }

    void delayCounts() { QCOMPARE(motor::ParallelPort().delay(30000), 30001L); }

    // A program ending on a failure beside the port (its trace unable to grow past a file-size limit) leaves the
    // lines at 0, as published.
    void failureLeavesLinesIdle()
    {
        const QString trace = QCoreApplication::applicationDirPath() + "/turns.trace";
        QFile::remove(trace);
        qputenv("PARPORT_TRACE", trace.toLocal8Bit());
        std::string error;
        published::Mapped area = published::mapArea(qgetenv("PARPORT_PUBLISH").toStdString(), error);
        QVERIFY2(area, error.c_str());
        const std::uint64_t earlier = area->writes;  // the area outlives a run
        published::Write last;
        motor::ParallelPort port;
        const unsigned long long before = monotonicNow();
        port.write(888, 0);
        QVERIFY(published::last(*area, last) && last.time >= before && last.time <= monotonicNow());
        std::uint64_t writes = 1;
        underFileLimit(1 << 20, [&] {  // the trace's first window, and no room for a second
            try {
                for (;; ++writes)
                    port.write(888, 3);
            } catch (const FatalError &) {
            }
        });
        QVERIFY(published::last(*area, last) && last.value == 0 && area->writes == earlier + writes + 2);
        qunsetenv("PARPORT_TRACE");
    }

    // A signal ending the program mid-move (kill, Ctrl+C, a closed terminal) leaves the lines at 0, traced; ends it.
    // One that its starter ignored (nohup, a background job) stays ignored: the move goes on until another ends it.
    void endingSignals_data()
    {
        columns<int, int>("ignored", "signal");  // ignored: sent first, 0 none
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
            QTest::addRow("%s", strsignal(signal)) << 0 << signal;
        QTest::newRow("SIGHUP under nohup") << int(SIGHUP) << int(SIGTERM);
    }
    void endingSignals()
    {
        const auto [ignored, signal] = fetch<int, int>("ignored", "signal");
        const QString trace = QCoreApplication::applicationDirPath() + "/ending.trace";
        QFile::remove(trace);
        qputenv("PARPORT_TRACE", trace.toLocal8Bit());
        // A program of its own, with the port library loaded afresh.
        const QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
        const pid_t child = fork();
        if (child == 0) {
            const rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            for (const int each : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
                std::signal(each, each == ignored ? SIG_IGN : SIG_DFL);
            setenv("PARPORT_PUBLISH", (trace + ".area").toLocal8Bit().constData(), 1);  // a port of its own
            execl(self.constData(), self.constData(), kTurnForever, static_cast<char *>(nullptr));
            _exit(127);
        }
        const auto lines = [&] { return contents(trace).split('\0').front().count('\n'); };  // to its first zero byte
        int status = 0;
        for (const int each : {ignored, signal}) {  // each well into the move
            if (!each)
                continue;
            const qsizetype before = lines();
            QTRY_VERIFY_WITH_TIMEOUT(lines() > before + 200 || waitpid(child, &status, WNOHANG), 20000);
            kill(child, each);
        }
        waitpid(child, &status, 0);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == signal, qPrintable(QString::number(status)));
        const QByteArray ended = contents(trace);
        QVERIFY2(!ended.contains('\0') && ended.endsWith(" 888 0\n"), ended.right(80));  // closed as at any end
        const QList<QByteArray> values = ended.trimmed().split('\n');
        QVERIFY(values[values.size() - 2].endsWith(" 3") || values[values.size() - 2].endsWith(" 2"));
        qunsetenv("PARPORT_TRACE");
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && !std::strcmp(argv[1], kTurnForever)) {  // the program endingSignals ends
        motor::catchEndingSignals();
        motor::ParallelPort port;
        vueltas::Turns turns(port);
        turns.arranque();
        for (;;)
            turns.moverIzquierda("341");
    }
    QCoreApplication app(argc, argv);
    TestTurns test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_turns.moc"
