// The trace: its lines and dumps, what it keeps of a file, and what it does when another program writes to
// its file, when the program forks, or when it is pointed at the port's own files.
#include "library.h"
#include "mapped.h"
#include "owned.h"
#include "published.h"

#include <QProcess>
#include <QRegularExpression>
#include <csignal>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>

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

int unsupported(int, int, off_t, off_t)
{
    errno = EOPNOTSUPP;
    return -1;
}

}  // namespace

class TestTrace : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        inpout::reset();
        inpout::useSystemCalls(nullptr);
        mapped::useFallocate(nullptr);
    }

    // A value change dump: the header, then each write's time since the first
    // and only the lines it changed; both lines at the first write.
    void valueChangeDump_data()
    {
        QTest::addColumn<QList<int>>("times");  // µs, as the writes' clock readings
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<QString>("dump");
        const QString header = "$version\n\tlibinpout32 " MOTOR_VERSION "\n$end\n$timescale 1 ns $end\n$scope module puerto $end\n"
                               "$var wire 1 ! D0_pulso $end\n$var wire 1 \" D1_direccion $end\n$upscope $end\n$enddefinitions $end\n";
        QTest::newRow("changes") << QList<int>{5, 22, 39, 56} << QList<int>{0, 1, 3, 2}
                                 << header + "#0\n0!\n0\"\n#17000\n1!\n#34000\n1\"\n#51000\n0!\n";
        QTest::newRow("no change, nothing; other bits are no line") << QList<int>{1, 6, 10, 12} << QList<int>{2, 2, 6, 0}
                                                                     << header + "#0\n0!\n1\"\n#11000\n0\"\n";
        QTest::newRow("a time not after the last is 1 ns after it") << QList<int>{1, 1, 9} << QList<int>{0, 1, 0}
                                                                    << header + "#0\n0!\n0\"\n#1\n1!\n#8000\n0!\n";
    }
    void valueChangeDump()
    {
        QFETCH(QList<int>, times);
        QFETCH(QList<int>, values);
        start("PARPORT=sim PARPORT_TRACE=@/trace.VCD");
        QFile earlier(qgetenv("PARPORT_TRACE"));  // a longer dump of an earlier run, to be replaced
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write(QByteArray(2 << 20, '1')) && (earlier.close(), true));
        for (int i = 0; i < values.size(); ++i, Out32(888, short(values[i - 1])))
            fake.clock = times[i] * 1000ULL;
        QCOMPARE(QFileInfo(earlier).size(), 1 << 20);  // emptied first: a killed run leaves nothing older
        inpout::reset();
        QTEST(QString(contents(qgetenv("PARPORT_TRACE"))).remove(QRegularExpression("^\\$date\n\t[-0-9: +]+\n\\$end\n")), "dump");
    }

    // One line per write, in order, in ns of CLOCK_MONOTONIC, after what the file held, across mapped windows
    // until it can't grow: that write says so and the trace ends, while later writes go on to the port.
    void trace()
    {
        start("PARPORT=sim PARPORT_TRACE=@/inpout32.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("5 888 1\n") && (file.close(), true));
        rlimit saved, limit;
        getrlimit(RLIMIT_FSIZE, &saved);
        limit = {5 << 19, saved.rlim_max};  // 2.5 MiB: room for two windows, not three
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const unsigned long long before = monotonic();
        int written = 0;
        for (; written < 1000000 && (Out32(888, short(written & 3)), !Out32Error()); ++written) {
        }
        const unsigned long long after = monotonic();
        const QString message = QString::fromUtf8(Out32Error());
        Out32(888, 0);
        const bool goesOn = !Out32Error() && inpout::openPort()->last == 0;
        inpout::reset();
        setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY2(message.contains(path) && message.contains(QString::fromStdString(inpout::reason(EFBIG))), qPrintable(message));
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
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("killedLines");  // lines of a run killed on it first (-1: killed before a newline)
        QTest::addColumn<QByteArray>("kept");
        QTest::newRow("a last line of digits") << QByteArray("Teléfonos\n555 1234 5678") << 0 << QByteArray("Teléfonos\n555 1234 5678\n");
        QTest::newRow("a number") << QByteArray("42") << 0 << QByteArray("42\n");
        QTest::newRow("zero bytes at the end") << QByteArray("ustar").append(2 << 20, '\0') << 0 << QByteArray("ustar").append(2 << 20, '\0') + "\n";
        const QByteArray likeMark = QByteArray("x\n").append((1 << 20) - 64, '\0') + "otra cosa de 20 car " + QByteArray(20, '0') + " " + QByteArray(20, '0') + "\n";
        QTest::newRow("ends like a mark") << likeMark << 0 << likeMark;
        QTest::newRow("a killed run") << QByteArray("antes\n") << 3 << QByteArray("antes\n");
        QTest::newRow("killed before a newline") << QByteArray("antes") << -3 << QByteArray("antes\n");
    }
    void traceKeepsWhatIsNotItsOwn()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, killedLines);
        QFETCH(QByteArray, kept);
        start("PARPORT=sim PARPORT_TRACE=@/kept.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size() && (file.close(), true));
        if (killedLines && inChild([&] {
                for (int i = 0; i < std::abs(killedLines); ++i)
                    Out32(888, short(i));
                return raise(SIGKILL);
            }) != 128 + SIGKILL)
            QFAIL("the run was not killed");
        QByteArray killed = contents(path);
        if (killedLines < 0)  // as if killed between its last line and that line's newline
            killed[killed.indexOf('\0') - 1] = '\0';
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(killed) == killed.size() && (file.close(), true));
        Out32(888, 1);
        inpout::reset();
        const QByteArray after = contents(path);
        const int survived = std::abs(killedLines) - (killedLines < 0);
        QCOMPARE(after.left(kept.size()), kept);
        QVERIFY2(QRegularExpression(QString("^(\\d+ 888 \\d\n){%1}\\d+ 888 1\n$").arg(survived)).match(after.mid(kept.size())).hasMatch(),
                 after.mid(kept.size()));
    }

    // A trace that can't be opened says why, and what to do about it, at the first write.
    void failures_data()
    {
        failureColumns();
        QTest::newRow("its folder missing") << "PARPORT=sim PARPORT_TRACE=@/no-such-folder/x.trace" << "" << ENOENT
                                            << QStringList{"no-such-folder/x.trace", "La carpeta no existe"} << false << "";
        QTest::newRow("a folder") << "PARPORT=sim PARPORT_TRACE=@" << "" << EISDIR << QStringList{"es una carpeta"} << false << "";
        QTest::newRow("in use") << "PARPORT=sim PARPORT_TRACE=@/taken.trace" << "flock" << 0
                                << QStringList{"taken.trace", "ya lo está usando otro programa"} << false << "";
    }
    void failures() { checkFailure(); }

    // Another program changes the trace's file while it runs. The trace notices before its next line, stops, says
    // so once and leaves the other's bytes as they are; at the end it takes away only its own reserve. Only lines
    // lost (a cut) fail a write. The motor goes on to its final 0; reading the file, or its permissions, change nothing.
    void othersChanges_data()
    {
        QTest::addColumn<QString>("command");  // what another program does to %F, %A holding its lines until then
        QTest::addColumn<int>("after");        // writes after it, the last a 0 (negative: the first before the
                                               // trace's watch hears of it, as when the kernel's report is late)
        QTest::addColumn<QString>("said");     // on standard error or in a failed write's message ("-": either)
        QTest::addColumn<bool>("failed");      // a write said that lines of the trace's were lost on their way in
        QTest::addColumn<QString>("left");     // what F holds at the end, blank lines aside: this command's output,
                                               // or "N" lines of the trace's
        QTest::newRow("written over") << "seq 10000 > %F" << 6 << "lo ha escrito otro" << false << "seq 10000";
        QTest::newRow("a note appended") << "echo NOTA >> %F" << 6 << "recibió 5 bytes" << false << "cat %A; echo NOTA";
        QTest::newRow("cut between two writes") << "truncate -s 100 %F" << 6 << "se acortó" << false << "head -c 100 %A";
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
        QFETCH(QString, command);
        QFETCH(int, after);
        QFETCH(QString, left);
        start("PARPORT=sim PARPORT_TRACE=@/others.trace");
        for (int i = 0; i < 10; ++i)
            Out32(888, short(i & 1));
        const auto shell = [](QString line) {
            QProcess other;
            other.start("sh", {"-c", line.replace("%F", dir() + "/others.trace").replace("%A", dir() + "/others.antes")
                                         .replace("%N", dir() + "/others.nuevo")});
            return other.waitForFinished() ? other.readAllStandardOutput() : "(did not end)";
        };
        QFile text(dir() + "/others.antes");  // the trace's own text, without its reserve
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write(contents(dir() + "/others.trace").split('\0').front()));
        text.close();
        if (after < 0)
            inpout::holdTraceWatch(true);
        shell(command);
        QString failures;
        const QString told = stderrOf([&] {
            for (int i = 1; i <= std::abs(after); ++i) {
                if (after < 0 && i == 2)
                    inpout::holdTraceWatch(false);
                // The kernel's report reaches the trace's watch in a moment; a change that makes none is not waited for.
                if (i == 1 + (after < 0) && !command.startsWith("cat"))
                    QTRY_VERIFY_WITH_TIMEOUT(inpout::traceChangeSeen(), 20000);
                Out32(888, short(i & 1 && i < std::abs(after)));
                failures += QString::fromUtf8(Out32Error());
            }
            QVERIFY(!after || inpout::openPort()->last == 0);  // the last 0 reaches the port, whatever the trace
            inpout::reset();
        });
        QFETCH(QString, said);
        QVERIFY2(said == "-" || (said.isEmpty() ? (failures + told).isEmpty() : (failures + told).contains(said)),
                 qPrintable(failures + told));
        QTEST(!failures.isEmpty(), "failed");
        const QString path = dir() + "/others.trace";
        if (left.toInt())
            QCOMPARE(lines(path).size(), left.toInt());
        else
            QCOMPARE(QString(QFile::exists(path) ? contents(path) : "").replace(QRegularExpression("\n+"), "\n"),
                     QString(shell(left)));
    }

    // A forked child's writes reach the port, not its parent's trace: its first write says why. Its end releases
    // none of the parent's port, lock or trace: a third program is still refused, and the parent's trace goes on.
    void forkedChild()
    {
        start("PARPORT=sim PARPORT_TRACE=@/forked.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        Out32(888, 1);
        QCOMPARE(inChild([] {
                     int said = 0;
                     for (int i = 0; i < 1000; ++i, Out32(888, short(i & 3)))
                         said += Out32Error() && QString(Out32Error()).contains("copia (fork)") && i == 1 ? 1 : 0;
                     std::exit(said == 1 && !Out32Error() ? 0 : 1);  // through exit(), as a program ends
                     return 1;
                 }), 0);
        stderrOf([] {  // a third program, from nothing, still finds the port taken
            QCOMPARE(inChild([] {
                         inpout::reset(), Out32(888, 0);
                         return Out32Error() && QString(Out32Error()).contains("lo tiene tst_trace") ? 0 : 1;
                     }), 0);
        });
        Out32(888, 0);
        QVERIFY(!Out32Error());
        inpout::reset();
        QCOMPARE(lines(path).size(), 2);
        QVERIFY(!contents(path).contains('\0'));
    }

    // Pointed at the port's own files, the trace is refused at the first write, the file left as it was, and the
    // motor runs and is published as it would be without a trace.
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
        QVERIFY2(ours && other, error.c_str());
        QFile(area() + ".visor").open(QIODevice::WriteOnly);
        const std::uint64_t written = ours->writes;
        const QByteArray before = contents(path);
        qputenv("PARPORT_TRACE", path.toLocal8Bit());
        const QString said = stderrOf([] { Out32(888, 1), Out32(888, 0); });
        QVERIFY2(said.contains("No se escribe la traza en " + path), qPrintable(said));
        QVERIFY(!Out32Error() && ours->writes == written + 2 && inpout::openPort()->last == 0);
        if (file != ".lock")  // the lock names its holder while it is held
            QCOMPARE(contents(path).size(), before.size());
        inpout::reset();
        QCOMPARE(ours->header.magic.load(), published::kMagic);
        QCOMPARE(QFileInfo(area()).size(), qint64(sizeof(published::Area)));
    }

    // Where the file system has no fallocate, the reserve is written, block by block: no hole that a full disk could
    // later turn into a fault or a lost line. Just into its second window, a running trace shows whole lines of its
    // own and nothing of the old window's mark.
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
        for (int i = 0; i < (file.endsWith("trace") ? 60000 : 1); ++i)
            Out32(888, 1);
        const owned::Fd fd(::open((dir() + file).toLocal8Bit(), O_RDONLY));
        const off_t size = lseek(fd.get(), 0, SEEK_END);
        QVERIFY(!Out32Error() && size > 1 << 19 && lseek(fd.get(), 0, SEEK_HOLE) == size);
        for (const QString &line : file.endsWith("trace") ? lines(dir() + file) : QStringList())
            QVERIFY2(QRegularExpression("^\\d+ 888 1$").match(line).hasMatch(), qPrintable(line));
    }

    // A SIGBUS not the library's goes to the handler there before it, with its arguments; with none, or with a host's
    // handler that hands it back to the library, the program ends by SIGBUS at once, never in a loop.
    void faultsElsewhere_data()
    {
        QTest::addColumn<int>("before");  // the host's handler before the library's: 0 none, 1 SA_SIGINFO, 2 plain
        QTest::addColumn<int>("after");   // 1: a chaining one after it, 2: and the library's in front again
        QTest::addColumn<int>("status");
        QTest::newRow("no handler") << 0 << 0 << 128 + SIGBUS;
        QTest::newRow("an SA_SIGINFO handler before") << 1 << 0 << 42;
        QTest::newRow("a plain handler before") << 2 << 0 << 43;
        QTest::newRow("a chaining handler after") << 0 << 1 << 128 + SIGBUS;
        QTest::newRow("a chaining handler after, the library's again in front") << 0 << 2 << 128 + SIGBUS;
    }
    void faultsElsewhere()
    {
        QFETCH(int, before);
        QFETCH(int, after);
        static char watched[2];
        QTEST(inChild([&] {
                  struct sigaction host = {};
                  host.sa_flags = before == 2 ? 0 : SA_SIGINFO;
                  before == 2 ? void(host.sa_handler = hostPlain) : void(host.sa_sigaction = before ? hostWithInfo : hostChaining);
                  signal(SIGBUS, SIG_DFL);
                  if (before)
                      sigaction(SIGBUS, &host, nullptr);
                  mapped::watch(watched, 1);
                  if (after)
                      sigaction(SIGBUS, &host, &hostsOld);
                  if (after == 2)
                      mapped::watch(watched + 1, 1);
                  return faultOutside();
              }),
              "status");
    }

    // Past a file-size limit, with SIGBUS blocked in the writing thread, or with the area cut short under it, no
    // signal ends the program: what can't be had is said on standard error, and the motor runs to its final 0.
    void limits_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<QString>("said");
        QTest::newRow("no file may grow") << "fsize" << "ulimit -f";
        QTest::newRow("SIGBUS blocked") << "sigbus" << "SIGBUS";
        QTest::newRow("the area cut short, made again") << "area" << "se vuelve a abrir";
    }
    void limits()
    {
        QFETCH(QString, limit);
        start("PARPORT=sim PARPORT_PUBLISH=@/limits.area");
        QFile::remove(dir() + "/limits.area");
        const QString told = stderrOf([&] {
            QCOMPARE(inChild([&] {
                         const rlimit none = {0, RLIM_INFINITY};
                         sigset_t bus;
                         sigemptyset(&bus), sigaddset(&bus, SIGBUS), signal(SIGXFSZ, SIG_DFL);
                         if ((limit == "fsize" && setrlimit(RLIMIT_FSIZE, &none)) ||
                             (limit == "sigbus" && pthread_sigmask(SIG_BLOCK, &bus, nullptr)))
                             return 10;
                         for (int i = 0; i < 2000; ++i, Out32(888, short(i & 3 && i < 2000)))
                             if (limit == "area" && i == 1 && ::truncate(qgetenv("PARPORT_PUBLISH"), 0) != 0)
                                 return 11;
                         std::string error, name;
                         std::int32_t pid = 0;
                         const published::Mapped area = published::mapArea(qgetenv("PARPORT_PUBLISH").toStdString(), error);
                         if (limit == "area" && !(area && published::writer(*area, 0, pid, name) && pid == getpid()))
                             return 12;  // published again, as itself
                         return Out32Error() || inpout::openPort()->last != 0 ? 1 : 0;
                     }), 0);
        });
        QFETCH(QString, said);
        QVERIFY2(told.contains(said), qPrintable(told));
    }
};

QTEST_GUILESS_MAIN(TestTrace)
#include "tst_trace.moc"
