// The trace: its lines and dumps, what it keeps of a file, others' changes, forks, and the port's own files (a trace
// that can't be opened: tst_messages).
#include "change.h"
#include "library.h"
#include "mapped.h"
#include "published.h"

#include <csignal>
#include <sys/mman.h>

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
        pairs("writes", "dump",  // writes: µs:value; dump: after its header
              {{"changes", "5:0 22:1 39:3 56:2", "#0\n0!\n0\"\n#17000\n1!\n#34000\n1\"\n#51000\n0!\n"},
               {"no change, nothing; other bits no line", "1:2 6:2 10:6 12:0", "#0\n0!\n1\"\n#11000\n0\"\n"},
               {"a time not after the last: 1 ns later", "1:0 1:1 9:0", "#0\n0!\n0\"\n#1\n1!\n#8000\n0!\n"}});
    }
    void valueChangeDump()
    {
        const auto [writes, dump] = fetch<QString, QString>("writes", "dump");
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
        QCOMPARE(QString(contents(path)).remove(QRegularExpression("^\\$date\n\t[-0-9: +]+\n\\$end\n")), header + dump);
    }

    // A line per write, in order, in ns, after what the file held, across windows until it can't grow: said, then
    // ends; with no room for its first window, its first write fails. No other program is blamed.
    void trace_data()
    {
        QTest::addColumn<int>("limit");  // the file-size limit
        QTest::newRow("room for two windows") << (5 << 19);
        QTest::newRow("no room for one") << (100 << 10);
    }
    void trace()
    {
        QFETCH(int, limit);
        start("PARPORT=sim PARPORT_TRACE=@/inpout32.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        QVERIFY(put(path, "5 888 1\n"));
        const unsigned long long before = monotonicNow();
        int written = 0;
        QString message, told;
        bool goesOn = false;
        underFileLimit(limit, [&] {
            told = stderrOf([&] {
                for (; written < 1000000 && (Out32(888, short(written & 3)), !Out32Error()); ++written) {
                }
                message = QString::fromUtf8(Out32Error());
                Out32(888, 0);
                goesOn = !Out32Error() && inpout::openPort()->last == 0;
                inpout::reset();
            });
        });
        const unsigned long long after = monotonicNow();
        QVERIFY2(message.contains(path) && message.contains(inpout::reason(EFBIG).c_str()), qPrintable(message));
        QVERIFY2(!told.contains("otro programa"), qPrintable(told));
        QVERIFY(limit > 1 << 20 ? goesOn && written > (1 << 20) / 20 : !goesOn && written == 0);
        const QStringList trace = lines(path);
        QVERIFY(trace.size() == written + 1 && trace[0] == "5 888 1" && !contents(path).contains('\0'));
        for (int i = 1; i < trace.size(); ++i)
            QVERIFY2(trace[i].endsWith(QString(" 888 %1").arg((i - 1) & 3)) &&
                         timeOf(trace[i]) >= std::max(before, timeOf(trace[i - 1])) && timeOf(trace[i]) <= after,
                     qPrintable(trace[i]));
    }

    // A trace appends to what the file holds, byte for byte; only what a killed run of its own left is cut.
    void traceKeepsWhatIsNotItsOwn_data()
    {
        // killedLines: lines of a run killed on it first (-1: killed before a newline); note: appended after the kill
        columns<QByteArray, int, QByteArray, QByteArray>("before", "killedLines", "kept", "note");
        const QByteArray phones = "Teléfonos\n555 1234 5678", tar = QByteArray("ustar").append(2 << 20, '\0');
        QTest::newRow("a last line of digits") << phones << 0 << phones + "\n" << QByteArray();
        QTest::newRow("zero bytes at the end") << tar << 0 << tar + "\n" << QByteArray();
        const QByteArray likeMark = QByteArray("x\n").append((1 << 20) - 64, '\0') + "otra cosa de 20 car " +
                                    QByteArray(20, '0') + " " + QByteArray(20, '0') + "\n";
        QTest::newRow("ends like a mark") << likeMark << 0 << likeMark << QByteArray();
        QTest::newRow("a killed run") << QByteArray("antes\n") << 3 << QByteArray("antes\n") << QByteArray();
        QTest::newRow("killed before a newline, a note after it") << QByteArray("antes") << -3 << QByteArray("antes\n")
                                                                  << QByteArray("NOTA\n");
    }
    void traceKeepsWhatIsNotItsOwn()
    {
        const auto [before, killedLines, kept, note] =
            fetch<QByteArray, int, QByteArray, QByteArray>("before", "killedLines", "kept", "note");
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
        QVERIFY(put(path, killed + note));
        Out32(888, 1);
        inpout::reset();
        const QByteArray after = contents(path);
        const int survived = std::abs(killedLines) - (killedLines < 0);
        QCOMPARE(after.left(kept.size()), kept);
        // After a note, the killed run's reserve gone from under it: a reader sees the new run too.
        const QString rest = QString("^(\\d+ 888 \\d\n){%1}").arg(survived) +
                             (note.isEmpty() ? "" : "\n*" + QRegularExpression::escape(note)) + "\\d+ 888 1\n$";
        QVERIFY2(QRegularExpression(rest).match(after.mid(kept.size())).hasMatch(), after.mid(kept.size()));
    }

    // Another program changes the file: said once, its bytes kept, the motor goes on. Bytes of the trace's changed
    // are found before its next line, watched or not; a note appended, by the watch before a later line, or else at
    // the end, as anything else is. Never the area's doing, nor a write's failure.
    void othersChanges_data()
    {
        // watch: "" the kernel's, or why there is none ("EMFILE", "EMFILE nofile": no descriptor left either);
        // command: another program's, on %F (%A: the trace's lines until then); after: writes then, the last a 0
        // (-1: until the trace took its reserve from under a note); said: on stderr, phrases apart by "|", each once;
        // left: F at last, blank lines aside: a command's output, a pattern (^...), or N lines
        columns<QString, QString, int, QString, QString>("watch", "command", "after", "said", "left");
        QTest::newRow("written over by a longer one") << "" << "seq 300000 > %F" << 6 << "lo ha escrito otro"
                                                      << "seq 300000";
        QTest::newRow("a note appended") << "" << "echo NOTA >> %F" << -1 << "recibió 5 bytes"
                                         << "^(\\d+ 888 \\d\n){10,}NOTA\n$";
        QTest::newRow("cut between two writes") << "" << "truncate -s 100 %F" << 6 << "se acortó" << "head -c 100 %A";
        QTest::newRow("emptied") << "" << ": > %F" << 6 << "lo ha vaciado" << "true";
        QTest::newRow("removed") << "" << "rm %F" << 6 << "ya no está" << "cat %F 2>/dev/null";
        QTest::newRow("saved over by an editor") << "" << "seq 5 > %N && mv %N %F" << 6 << "ya no está" << "seq 5";
        QTest::newRow("its permissions changed") << "" << "chmod 600 %F" << 6 << "" << "16";
        const QString bees = "head -c 3000000 /dev/zero | tr '\\0' B";  // a 10-turn move after it
        QTest::newRow("unwatched, written over in place") << "EMFILE" << bees + " > %F" << 1921
                                                          << "instancias de inotify|lo ha escrito otro" << bees;
        QTest::newRow("unwatched, a note appended") << "EMFILE" << "echo NOTA >> %F" << 6 << "recibió 5 bytes"
                                                    << "^(\\d+ 888 \\d\n){16}NOTA\n$";
        QTest::newRow("unwatched, cut as the program ends") << "EMFILE nofile" << "truncate -s 10 %F" << 0
                                                            << "ulimit -n|se acortó" << "head -c 10 %A";
    }
    void othersChanges()
    {
        const auto [watch, command, after, said, left] =
            fetch<QString, QString, int, QString, QString>("watch", "command", "after", "said", "left");
        start("PARPORT=sim PARPORT_TRACE=@/others.trace");
        fake.failing = watch.isEmpty() ? "" : "inotify", fake.err = EMFILE, fake.noDescriptors = watch.endsWith("file");
        const QString file = dir() + "/others.trace";
        const auto shell = [&](QString line) {
            QProcess other;
            other.start("sh", {"-c", line.replace("%F", file).replace("%A", dir() + "/others.antes")
                                         .replace("%N", dir() + "/others.nuevo")});
            return other.waitForFinished() ? other.readAllStandardOutput() : "(did not end)";
        };
        rlimit files;
        getrlimit(RLIMIT_NOFILE, &files);
        QString failures;
        const QString told = stderrOf([&] {
            for (int i = 0; i < 10; ++i)
                Out32(888, short(i & 1));
            setrlimit(RLIMIT_NOFILE, &files);
            QVERIFY(put(dir() + "/others.antes", contents(file).split('\0').front()));  // its own text, not its reserve
            shell(command);
            QElapsedTimer waited;
            waited.start();
            const auto noted = [&] { return !contents(file).contains('\0'); };
            for (int i = 1; after < 0 ? !noted() && waited.elapsed() < 10000 : i < after; ++i) {
                Out32(888, short(i & 1)), failures += QString::fromUtf8(Out32Error());
                QThread::msleep(after < 0);
            }
            QVERIFY(after >= 0 || noted());  // the watch told the trace while the program ran
            if (after)
                Out32(888, 0), failures += QString::fromUtf8(Out32Error());
            QVERIFY(!after || inpout::openPort()->last == 0);  // the last 0 reaches the port, whatever the trace
            inpout::reset();
        }).remove(QRegularExpression(".*de red o FUSE.*\n"));  // a build folder under FUSE (disorderfs), rightly told
        for (const QString &phrase : said.split('|', Qt::SkipEmptyParts))
            QVERIFY2(told.count(phrase) == 1, qPrintable(told + " lacks " + phrase + " once"));
        QVERIFY2(failures.isEmpty() && !told.contains("área") && (!said.isEmpty() || told.isEmpty()),
                 qPrintable(failures + told));
        QString kept = QFile::exists(file) ? contents(file) : "";
        kept.replace(QRegularExpression("\n+"), "\n");
        if (left.startsWith('^'))
            QVERIFY2(QRegularExpression(left).match(kept).hasMatch(), qPrintable(kept));
        else if (left.toInt())
            QCOMPARE(lines(file).size(), left.toInt());
        else
            QCOMPARE(kept, QString(shell(left)));
    }

    // What another program did, from what the trace left (its lines up to 200, its file 1 MiB) and what it finds:
    // the file's size, and which hold of removed, ours (its first bytes), intact (its reserve), lost (its window) and
    // lines (lost).
    void changes_data()
    {
        pairs("found", "change", {{"its metadata, or bytes before its end", "1048576 intact", "none"},
                                  {"cut inside its lines", "100 ours", "cut inside"},
                                  {"cut, a line stored since", "100 ours lost lines", "cut losing"},
                                  {"written over, shorter than its lines", "150", "written over"},
                                  {"its reserve written", "1048576 ours", "written over"},
                                  {"longer, as left, its window lost", "1048581 ours intact lost", "written over"}});
    }
    void changes()
    {
        QFETCH(QString, found);
        const QStringList facts = found.split(' ');
        inpout::Left left;
        left.end = 200, left.size = 1 << 20;
        const inpout::Found seen{facts.contains("removed"), facts[0].toLongLong(), facts.contains("ours"),
                                 facts.contains("intact"),  facts.contains("lost"),  facts.contains("lines")};
        const char *names[] = {"none", "removed", "emptied", "cut inside", "cut losing", "appended", "written over"};
        QTEST(QString(names[int(inpout::classify(left, seen))]), "change");
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
        QVERIFY((Out32(888, 0), !Out32Error()));
        inpout::reset();
        QVERIFY(lines(path).size() == 2 && !contents(path).contains('\0'));
    }

    // Pointed at the port's own files, the trace is refused and the file kept; the motor runs and is published.
    void notThePortsFiles_data()
    {
        QTest::addColumn<QString>("file");  // beside the area, or another area
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

    // Without fallocate the reserve is written: no holes in a new area, at its first write, nor in a trace just into
    // its second window, which shows only whole lines.
    void noFallocate()
    {
        start("PARPORT=sim PARPORT_TRACE=@/holes.trace PARPORT_PUBLISH=@/holes.area");
        QFile::remove(dir() + "/holes.area");
        mapped::useFallocate(unsupported);
        for (const QString file : {"/holes.area", "/holes.trace"}) {
            do
                Out32(888, 1);
            while (file.endsWith("trace") && QFileInfo(dir() + file).size() <= 1 << 20);
            const owned::Fd fd(::open((dir() + file).toLocal8Bit(), O_RDONLY));
            const off_t size = lseek(fd.get(), 0, SEEK_END);
            QVERIFY2(!Out32Error() && size > 1 << 19 && lseek(fd.get(), 0, SEEK_HOLE) == size, qPrintable(file));
        }
        for (const QString &line : lines(dir() + "/holes.trace"))
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
