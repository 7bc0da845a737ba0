// The trace: its lines and dumps, what it keeps of a file, others' changes, forks, and the port's own files.
#include "library.h"
#include "mapped.h"
#include "published.h"

#include <csignal>
#include <sys/mman.h>
#include <sys/resource.h>

namespace {

// The faults a host's SIGBUS handler sees: where, and that it ran.
void *faultAt = nullptr;
struct sigaction hostsOld;
void hostWithInfo(int, siginfo_t *info, void *) { _exit(info->si_addr == faultAt ? 42 : 41); }
void hostPlain(int) { _exit(43); }
// A host that chains to whatever handled SIGBUS before it, as a good citizen does.
void hostChaining(int signal, siginfo_t *info, void *context) { hostsOld.sa_sigaction(signal, info, context); }

// A real fault outside the library's mappings: a page of a file cut short.
int faultOutside()
{
    QTemporaryFile file;
    if (!file.open() || ftruncate(file.handle(), 4096) < 0)
        return 20;
    auto *page = static_cast<volatile char *>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, file.handle(), 0));
    if (page == MAP_FAILED || ftruncate(file.handle(), 0) < 0)
        return 21;
    faultAt = const_cast<char *>(page);
    return page[0];
}

int unsupported(int, int, off_t, off_t) { return errno = EOPNOTSUPP, -1; }  // a file system without fallocate

}  // namespace

class TestTrace : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { inpout::reset(), inpout::useSystemCalls(nullptr), mapped::useFallocate(nullptr); }

    // A value change dump: the header, then each write's time since the first and only the lines it changed.
    void valueChangeDump_data()
    {
        columns<QString, QString>("writes", "dump");  // writes: µs:value; dump: after its header
        QTest::newRow("changes") << "5:0 22:1 39:3 56:2" << "#0\n0!\n0\"\n#17000\n1!\n#34000\n1\"\n#51000\n0!\n";
        QTest::newRow("no change, nothing; other bits no line") << "1:2 6:2 10:6 12:0" << "#0\n0!\n1\"\n#11000\n0\"\n";
        QTest::newRow("a time not after the last: 1 ns later") << "1:0 1:1 9:0" << "#0\n0!\n0\"\n#1\n1!\n#8000\n0!\n";
    }
    void valueChangeDump()
    {
        QFETCH(QString, writes);
        start("PARPORT=sim PARPORT_TRACE=@/trace.VCD");
        const QString path = qgetenv("PARPORT_TRACE");
        QVERIFY(put(path, QByteArray(2 << 20, '1')));  // a longer dump of an earlier run
        for (const QString &write : writes.split(' '))
            fake.clock = write.section(':', 0, 0).toInt() * 1000ULL, Out32(888, short(write.section(':', 1).toInt()));
        QCOMPARE(QFileInfo(path).size(), 1 << 20);  // emptied first: a killed run leaves nothing older
        inpout::reset();
        const QString header = "$version\n\tlibinpout32 " MOTOR_VERSION "\n$end\n$timescale 1 ns $end\n$scope module "
                               "puerto $end\n$var wire 1 ! D0_pulso $end\n$var wire 1 \" D1_direccion $end\n$upscope "
                               "$end\n$enddefinitions $end\n";
        QFETCH(QString, dump);
        QCOMPARE(QString(contents(path)).remove(QRegularExpression("^\\$date\n\t[-0-9: +]+\n\\$end\n")), header + dump);
    }

    // A line per write, in order, in ns, after what the file held, across windows until it can't grow: said, then ends.
    void trace()
    {
        start("PARPORT=sim PARPORT_TRACE=@/inpout32.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        QVERIFY(put(path, "5 888 1\n"));
        rlimit saved, limit;
        getrlimit(RLIMIT_FSIZE, &saved);
        limit = {5 << 19, saved.rlim_max};  // 2.5 MiB: room for two windows, not three
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const unsigned long long before = monotonicNow();
        int written = 0;
        for (; written < 1000000 && (Out32(888, short(written & 3)), !Out32Error()); ++written) {
        }
        const unsigned long long after = monotonicNow();
        const QString message = QString::fromUtf8(Out32Error());
        Out32(888, 0);
        const bool goesOn = !Out32Error() && inpout::openPort()->last == 0;
        inpout::reset();
        setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY2(message.contains(path) && message.contains(inpout::reason(EFBIG).c_str()), qPrintable(message));
        QVERIFY(goesOn && written > (1 << 20) / 20);
        const QStringList trace = lines(path);
        QVERIFY(trace.size() == written + 1 && trace[0] == "5 888 1");
        for (int i = 1; i < trace.size(); ++i)
            QVERIFY2(trace[i].endsWith(QString(" 888 %1").arg((i - 1) & 3)) &&
                         timeOf(trace[i]) >= std::max(before, timeOf(trace[i - 1])) && timeOf(trace[i]) <= after,
                     qPrintable(trace[i]));
    }

    // A trace appends to what the file holds, byte for byte; only what a killed run of its own left is cut.
    void traceKeepsWhatIsNotItsOwn_data()
    {
        // killedLines: lines of a run killed on it first (-1: killed before a newline)
        columns<QByteArray, int, QByteArray>("before", "killedLines", "kept");
        const QByteArray phones = "Teléfonos\n555 1234 5678", tar = QByteArray("ustar").append(2 << 20, '\0');
        QTest::newRow("a last line of digits") << phones << 0 << phones + "\n";
        QTest::newRow("a number") << QByteArray("42") << 0 << QByteArray("42\n");
        QTest::newRow("zero bytes at the end") << tar << 0 << tar + "\n";
        const QByteArray likeMark = QByteArray("x\n").append((1 << 20) - 64, '\0') + "otra cosa de 20 car " +
                                    QByteArray(20, '0') + " " + QByteArray(20, '0') + "\n";
        QTest::newRow("ends like a mark") << likeMark << 0 << likeMark;
        QTest::newRow("a killed run") << QByteArray("antes\n") << 3 << QByteArray("antes\n");
        QTest::newRow("killed before a newline") << QByteArray("antes") << -3 << QByteArray("antes\n");
    }
    void traceKeepsWhatIsNotItsOwn()
    {
        const auto [before, killedLines, kept] = fetch<QByteArray, int, QByteArray>("before", "killedLines", "kept");
        start("PARPORT=sim PARPORT_TRACE=@/kept.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        QVERIFY(put(path, before));
        QVERIFY(!killedLines || inChild([&] {
                    for (int i = 0; i < std::abs(killedLines); ++i)
                        Out32(888, short(i));
                    return raise(SIGKILL);
                }) == 128 + SIGKILL);
        QByteArray killed = contents(path);
        if (killedLines < 0)  // as if killed between its last line and that line's newline
            killed[killed.indexOf('\0') - 1] = '\0';
        QVERIFY(put(path, killed));
        Out32(888, 1);
        inpout::reset();
        const QByteArray after = contents(path);
        const int survived = std::abs(killedLines) - (killedLines < 0);
        QCOMPARE(after.left(kept.size()), kept);
        QVERIFY2(QRegularExpression(QString("^(\\d+ 888 \\d\n){%1}\\d+ 888 1\n$").arg(survived))
                     .match(after.mid(kept.size())).hasMatch(), after.mid(kept.size()));
    }

    // A trace that can't be opened says why, and what to do about it, at the first write.
    void failures_data()
    {
        failureColumns();
        failure("its folder missing", "PARPORT=sim PARPORT_TRACE=@/no-such-folder/x.trace", "", ENOENT,
                {"no-such-folder/x.trace", "La carpeta no existe"});
        failure("a folder", "PARPORT=sim PARPORT_TRACE=@", "", EISDIR, {"es una carpeta"});
        failure("in use", "PARPORT=sim PARPORT_TRACE=@/taken.trace", "flock", 0,
                {"taken.trace", "ya lo está usando otro programa"});
    }
    void failures() { checkFailure(); }

    // Another program changes the file: said once, its bytes kept, the motor goes on; noticed before the next line,
    // or when the kernel's report comes late, the lines a cut took on their way in make a write fail.
    void othersChanges_data()
    {
        // command: another program's, on %F (%A: the trace's lines until then); after: writes then, the last a 0
        // (negative: the first before the watch hears of it, as when the kernel's report is late); said: on stderr
        // or in a failed write ("-": either); failed: lines lost; left: F at last (blank lines aside), output or
        // N lines
        columns<QString, int, QString, bool, QString>("command", "after", "said", "failed", "left");
        QTest::newRow("written over") << "seq 10000 > %F" << 6 << "lo ha escrito otro" << false << "seq 10000";
        QTest::newRow("a note appended") << "echo NOTA >> %F" << 6 << "recibió 5 bytes" << false << "cat %A; echo NOTA";
        QTest::newRow("cut between two writes") << "truncate -s 100 %F" << 6 << "se acortó" << false
                                                 << "head -c 100 %A";
        QTest::newRow("cut as it writes") << "truncate -s 100 %F" << -6 << "se perdieron" << true << "head -c 100 %A";
        QTest::newRow("emptied") << ": > %F" << 6 << "lo ha vaciado" << false << "true";
        QTest::newRow("emptied as the program ends") << ": > %F" << 0 << "-" << false << "true";
        QTest::newRow("removed") << "rm %F" << 6 << "ya no está" << false << "cat %F 2>/dev/null";
        QTest::newRow("saved over by an editor") << "seq 5 > %N && mv %N %F" << 6 << "ya no está" << false << "seq 5";
        QTest::newRow("read") << "cat %F > /dev/null" << 6 << "" << false << "16";
        QTest::newRow("its permissions changed") << "chmod 600 %F" << 6 << "" << false << "16";
    }
    void othersChanges()
    {
        const auto [command, after, said, left] =
            fetch<QString, int, QString, QString>("command", "after", "said", "left");
        start("PARPORT=sim PARPORT_TRACE=@/others.trace");
        const QString file = dir() + "/others.trace";
        for (int i = 0; i < 10; ++i)
            Out32(888, short(i & 1));
        const auto shell = [&](QString line) {
            QProcess other;
            other.start("sh", {"-c", line.replace("%F", file).replace("%A", dir() + "/others.antes")
                                         .replace("%N", dir() + "/others.nuevo")});
            return other.waitForFinished() ? other.readAllStandardOutput() : "(did not end)";
        };
        QVERIFY(put(dir() + "/others.antes", contents(file).split('\0').front()));  // its own text, not its reserve
        if (after < 0)
            inpout::holdTraceWatch(true);
        shell(command);
        QString failures;
        const QString told = stderrOf([&] {
            for (int i = 1; i <= std::abs(after); ++i) {
                if (after < 0 && i == 2)
                    inpout::holdTraceWatch(false);
                // The kernel's report reaches the watch in a moment; a change that makes none is not waited for.
                if (i == 1 + (after < 0) && !command.startsWith("cat"))
                    QTRY_VERIFY_WITH_TIMEOUT(inpout::traceChangeSeen(), 20000);
                Out32(888, short(i & 1 && i < std::abs(after)));
                failures += QString::fromUtf8(Out32Error());
            }
            QVERIFY(!after || inpout::openPort()->last == 0);  // the last 0 reaches the port, whatever the trace
            inpout::reset();
        });
        QVERIFY2(said == "-" || (said.isEmpty() ? (failures + told).isEmpty() : (failures + told).contains(said)),
                 qPrintable(failures + told));
        QTEST(!failures.isEmpty(), "failed");
        if (left.toInt())
            QCOMPARE(lines(file).size(), left.toInt());
        else
            QCOMPARE(QString(QFile::exists(file) ? contents(file) : "").replace(QRegularExpression("\n+"), "\n"),
                     QString(shell(left)));
    }

    // A forked child's writes reach the port, not its parent's trace; its end releases nothing of the parent's.
    void forkedChild()
    {
        start("PARPORT=sim PARPORT_TRACE=@/forked.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        Out32(888, 1);
        const QString told = stderrOf([] {  // where a child that never reads Out32Error hears it too, once
            QCOMPARE(inChild([] {
                         int said = 0;
                         for (int i = 0; i < 1000; ++i, Out32(888, short(i & 3)))
                             said += Out32Error() && QString(Out32Error()).contains("copia (fork)") && i == 1 ? 1 : 0;
                         std::exit(said == 1 && !Out32Error() ? 0 : 1);  // through exit(), as a program ends
                         return 1;
                     }), 0);
        });
        QCOMPARE(told.count("copia (fork)"), 1);
        stderrOf([] {  // a third program, from nothing, still finds the port taken
            QCOMPARE(inChild([] {
                         inpout::reset(), Out32(888, 0);
                         return Out32Error() && QString(Out32Error()).contains("lo tiene tst_trace") ? 0 : 1;
                     }), 0);
        });
        std::string error, name;
        std::int32_t pid = 0;  // the viewers still see the parent's program
        const published::Mapped shown = published::mapArea(area().toStdString(), error);
        QVERIFY(published::writer(*shown, 0, pid, name) && pid == getpid());
        Out32(888, 0);
        QVERIFY(!Out32Error());
        inpout::reset();
        QVERIFY(lines(path).size() == 2 && !contents(path).contains('\0'));
    }

    // Pointed at the port's own files, the trace is refused and the file kept; the motor runs and is published.
    void notThePortsFiles_data()
    {
        QTest::addColumn<QString>("file");  // beside the area, or another area
        QTest::newRow("the published area") << "";
        QTest::newRow("the simulated port's lock") << ".lock";
        QTest::newRow("the viewers' lock") << ".visor";
        QTest::newRow("another area") << ".otra";
    }
    void notThePortsFiles()
    {
        QFETCH(QString, file);
        start("PARPORT=sim");
        const QString path = area() + file;
        QFile::remove(area() + ".otra");
        std::string error;
        published::Mapped ours = published::mapArea(area().toStdString(), error);
        published::Mapped other = published::mapArea((area() + ".otra").toStdString(), error);
        QVERIFY2(ours && other && put(area() + ".visor", ""), error.c_str());
        const std::uint64_t written = ours->writes;
        const QByteArray before = contents(path);
        qputenv("PARPORT_TRACE", path.toLocal8Bit());
        const QString said = stderrOf([] { Out32(888, 1), Out32(888, 0); });
        QVERIFY2(said.contains("No se escribe la traza en " + path), qPrintable(said));
        QVERIFY(!Out32Error() && ours->writes == written + 2 && inpout::openPort()->last == 0);
        if (file != ".lock")  // the lock names its holder while it is held
            QCOMPARE(contents(path).size(), before.size());
        inpout::reset();
        QVERIFY(ours->header.magic == published::kMagic && QFileInfo(area()).size() == qint64(sizeof(published::Area)));
    }

    // Without fallocate the reserve is written: no holes; into its second window, a trace shows only whole lines.
    void noFallocate_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("a trace into its second window") << "/holes.trace";
        QTest::newRow("a new area") << "/holes.area";
    }
    void noFallocate()
    {
        QFETCH(QString, file);
        start("PARPORT=sim PARPORT_TRACE=@/holes.trace PARPORT_PUBLISH=@/holes.area");
        QFile::remove(dir() + "/holes.area");
        mapped::useFallocate(unsupported);
        do  // the trace just into its second window
            Out32(888, 1);
        while (file.endsWith("trace") && QFileInfo(dir() + file).size() <= 1 << 20);
        const owned::Fd fd(::open((dir() + file).toLocal8Bit(), O_RDONLY));
        const off_t size = lseek(fd.get(), 0, SEEK_END);
        QVERIFY(!Out32Error() && size > 1 << 19 && lseek(fd.get(), 0, SEEK_HOLE) == size);
        for (const QString &line : file.endsWith("trace") ? lines(dir() + file) : QStringList())
            QVERIFY2(QRegularExpression("^\\d+ 888 1$").match(line).hasMatch(), qPrintable(line));
    }

    // A SIGBUS not the library's goes to the handler before it; with none, or handed back, it ends the program at once.
    void faultsElsewhere_data()
    {
        // before: the host's handler before ours (0 none, 1 SA_SIGINFO, 2 plain); after: 1 one chaining, 2 ours again
        columns<int, int, int>("before", "after", "status");
        QTest::newRow("no handler") << 0 << 0 << 128 + SIGBUS;
        QTest::newRow("an SA_SIGINFO handler before") << 1 << 0 << 42;
        QTest::newRow("a plain handler before") << 2 << 0 << 43;
        QTest::newRow("a chaining handler after") << 0 << 1 << 128 + SIGBUS;
        QTest::newRow("a chaining handler after, the library's again in front") << 0 << 2 << 128 + SIGBUS;
    }
    void faultsElsewhere()
    {
        const auto [before, after] = fetch<int, int>("before", "after");
        static char watched[2];
        QTEST(inChild([&] {
                  struct sigaction host = {};
                  host.sa_sigaction = before == 1 ? hostWithInfo : hostChaining;
                  host.sa_flags = before == 2 ? (host.sa_handler = hostPlain, 0) : SA_SIGINFO;
                  signal(SIGBUS, SIG_DFL);
                  if (before)
                      sigaction(SIGBUS, &host, nullptr);
                  mapped::watch(watched, 1);
                  if (after)
                      sigaction(SIGBUS, &host, &hostsOld);
                  if (after == 2)
                      mapped::watch(watched + 1, 1);
                  return faultOutside();
              }), "status");
    }
};

QTEST_GUILESS_MAIN(TestTrace)
#include "tst_trace.moc"
