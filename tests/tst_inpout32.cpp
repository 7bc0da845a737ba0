// The port library: each backend's system calls (through a stand-in kernel),
// its messages, the slowdown, the trace and the published area.
#include "backend.h"
#include "inpout32.h"
#include "published.h"
#include "trace.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <sys/ioctl.h>
#include <linux/ppdev.h>
#include <map>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

unsigned long long monotonic()
{
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec * 1000000000ULL + time.tv_nsec;
}

struct FakeKernel {
    std::map<std::string, std::string> files;  // what /proc holds
    std::string failing;                         // "open", "PPCLAIM", "PPWDATA", "ioperm", ...
    int err = 0;
    QStringList calls;
    unsigned long long clock = 0;  // a clock that moves only when read, or 0 for the real one

    int fail(const std::string &what)
    {
        calls << QString::fromStdString(what);
        if (failing != what.substr(0, what.find(' ')))
            return 0;
        errno = err;
        return -1;
    }
};
FakeKernel *kernel = nullptr;

const std::map<unsigned long, std::string> kIoctls = {
    {PPEXCL, "PPEXCL"}, {PPCLAIM, "PPCLAIM"}, {PPRELEASE, "PPRELEASE"}, {PPDATADIR, "PPDATADIR"}, {PPWDATA, "PPWDATA"}};

const inpout::SystemCalls kFake = {
    [](const char *path, int) { return kernel->fail("open " + std::string(path)) < 0 ? -1 : 7; },
    [](int fd) { return kernel->fail("close " + std::to_string(fd)); },
    [](int, unsigned long request, void *arg) {
        std::string call = kIoctls.at(request);
        if (request == PPWDATA || request == PPDATADIR)
            call += " " + std::to_string(request == PPWDATA ? *static_cast<unsigned char *>(arg) : *static_cast<int *>(arg));
        return kernel->fail(call);
    },
    [](unsigned long from, unsigned long count, int on) {
        return kernel->fail("ioperm " + std::to_string(from) + " " + std::to_string(count) + " " + std::to_string(on));
    },
    [](unsigned char value, unsigned short port) { kernel->fail("outb " + std::to_string(value) + " " + std::to_string(port)); },
    [](const char *path, std::string &text) {
        const auto found = kernel->files.find(path);
        errno = ENOENT;
        return found != kernel->files.end() && !(text = found->second).empty();
    },
    [] { return kernel->clock ? kernel->clock++ : monotonic(); },
};

QString dir() { return QCoreApplication::applicationDirPath(); }
QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

}  // namespace

class TestInpout32 : public QObject {
    Q_OBJECT
    FakeKernel fake;

    // Settings "NAME=value ...", "@" standing for the test's folder; the
    // simulated port and the area are the test's own.
    void start(const QString &settings)
    {
        inpout::reset();
        fake = FakeKernel();
        kernel = &fake;
        inpout::useSystemCalls(&kFake);
        for (const char *name : {"PARPORT", "PARPORT_TRACE", "PARPORT_SLOWDOWN"})
            qunsetenv(name);
        qputenv("PARPORT_PUBLISH", (dir() + "/inpout32.area").toLocal8Bit());
        for (const QString &setting : settings.split(' ', Qt::SkipEmptyParts))
            qputenv(setting.section('=', 0, 0).toLatin1(), setting.section('=', 1).replace('@', dir()).toLocal8Bit());
    }
    // The trace's lines; while a program runs, the file ends in zero bytes.
    QStringList lines(const QString &path)
    {
        const QByteArray text = contents(path);
        return QString(text.left(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'))).split('\n', Qt::SkipEmptyParts);
    }

private slots:
    void cleanup()
    {
        inpout::reset();
        inpout::useSystemCalls(nullptr);
    }

    // The device that address 888 picks, and every call each backend makes.
    void sequence_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("parport0");  // base-addr of each port ("": none)
        QTest::addColumn<QString>("parport1");
        QTest::addColumn<QString>("calls");
        const QString ppdev = "PPEXCL,PPCLAIM,PPDATADIR 0,PPWDATA 0,PPWDATA 3,PPRELEASE,close 7";
        QTest::newRow("ppdev, no ports listed") << "" << "" << "" << "open /dev/parport0," + ppdev;
        QTest::newRow("ppdev, motherboard") << "" << "888\t1912\n" << "" << "open /dev/parport0," + ppdev;
        QTest::newRow("ppdev, card first") << "" << "53264\t53272\n" << "888\t1912\n" << "open /dev/parport1," + ppdev;
        QTest::newRow("ppdev, card only") << "" << "53264\t53272\n" << "" << "open /dev/parport0," + ppdev;
        QTest::newRow("ppdev, named") << "PARPORT=/dev/parport2" << "888\n" << "" << "open /dev/parport2," + ppdev;
        QTest::newRow("direct I/O") << "PARPORT=io" << "" << "" << "ioperm 888 3 1,outb 0 888,outb 3 888,ioperm 888 3 0";
        QTest::newRow("simulated") << "PARPORT=sim" << "" << "" << "";
    }
    void sequence()
    {
        QFETCH(QString, settings);
        QFETCH(QString, parport0);
        QFETCH(QString, parport1);
        QFETCH(QString, calls);
        start(settings);
        fake.files["/proc/sys/dev/parport/parport0/base-addr"] = parport0.toStdString();
        fake.files["/proc/sys/dev/parport/parport1/base-addr"] = parport1.toStdString();
        Out32(888, 0);
        Out32(888, 3);
        QCOMPARE(Out32Error(), nullptr);
        QCOMPARE(inpout::openPort()->last, 3);
        inpout::reset();
        QCOMPARE(fake.calls.join(','), calls);
    }

    // Each failure names the device, gives the system's reason and says what to do.
    void failures_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("failing");  // the call that fails; "flock": another program holds the trace
        QTest::addColumn<int>("err");
        QTest::addColumn<QStringList>("phrases");
        QTest::addColumn<bool>("opens");  // the port is open after the failure
        const QStringList absent{"/dev/parport0", "modprobe parport_pc ppdev", "PARPORT=sim"};
        const QStringList denied{"/dev/parport0", "grupo lp", "no hace falta ser root"};
        const QStringList taken{"otro programa", "rmmod lp"};
        QTest::newRow("no device") << "" << "open" << ENOENT << absent << false;
        QTest::newRow("permission") << "" << "open" << EACCES << denied << false;
        QTest::newRow("permission, container") << "" << "open" << EPERM << denied << false;
        QTest::newRow("busy at open") << "PARPORT=/dev/parport3" << "open" << EBUSY << (QStringList(taken) << "/dev/parport3") << false;
        QTest::newRow("taken at claim") << "" << "PPCLAIM" << ENXIO << (QStringList(taken) << "/dev/parport0") << false;
        QTest::newRow("busy at claim") << "" << "PPCLAIM" << EBUSY << taken << false;
        QTest::newRow("not ppdev") << "PARPORT=/dev/ttyS0" << "PPEXCL" << ENOTTY << QStringList{"/dev/ttyS0", "PPEXCL", "no parece un puerto paralelo"} << false;
        QTest::newRow("write fails") << "" << "PPWDATA" << EIO << QStringList{"/dev/parport0", "PPWDATA"} << true;
        QTest::newRow("io refused") << "PARPORT=io" << "ioperm" << EPERM << QStringList{"0x378", "CAP_SYS_RAWIO", "lockdown", "grupo lp"} << false;
        QTest::newRow("unknown setting") << "PARPORT=lpt1" << "" << 0 << QStringList{"«lpt1»", "PARPORT=sim"} << false;
        for (const char *bad : {"0.5", "100001", "2,5", "1e3", "diez", "."})
            QTest::newRow(qPrintable(QString("slowdown %1").arg(bad))) << "PARPORT=sim PARPORT_SLOWDOWN=" + QString(bad)
                                                                      << "" << 0 << QStringList{"PARPORT_SLOWDOWN", "«" + QString(bad) + "»", "100000"} << false;
        QTest::newRow("trace folder missing") << "PARPORT=sim PARPORT_TRACE=@/no-such-folder/x.trace" << "" << ENOENT
                                              << QStringList{"no-such-folder/x.trace", "PARPORT_TRACE"} << false;
        QTest::newRow("trace in use") << "PARPORT=sim PARPORT_TRACE=@/taken.trace" << "flock" << 0
                                      << QStringList{"taken.trace", "ya lo está usando otro programa"} << false;
    }
    void failures()
    {
        QFETCH(QString, settings);
        QFETCH(QString, failing);
        QFETCH(int, err);
        QFETCH(QStringList, phrases);
        QFETCH(bool, opens);
        start(settings);
        fake.failing = failing.toStdString();
        fake.err = err;
        const int holder = failing == "flock" ? ::open(qgetenv("PARPORT_TRACE").constData(), O_RDWR | O_CREAT, 0600) : -1;
        QVERIFY(holder < 0 || flock(holder, LOCK_EX) == 0);
        Out32(888, 1);
        const QString message = QString::fromUtf8(Out32Error());
        if (err)
            phrases << QString::fromStdString(inpout::reason(err));
        for (const QString &phrase : phrases)
            QVERIFY2(message.contains(phrase), qPrintable(message + " lacks " + phrase));
        QCOMPARE(inpout::openPort() != nullptr, opens);
        // A port that could not open stays failed, without trying again.
        const qsizetype calls = fake.calls.size();
        Out32(888, 0);
        QVERIFY(Out32Error());
        QCOMPARE(fake.calls.size(), calls + (opens ? 1 : 0));
        ::close(holder);
    }

    // PARPORT_SLOWDOWN=10 makes each gap ten times the program's own, on a
    // clock that moves one step per reading; a long gap is left as it is.
    void slowdown()
    {
        start("PARPORT=sim PARPORT_SLOWDOWN=10 PARPORT_TRACE=@/slow.trace");
        QFile::remove(qgetenv("PARPORT_TRACE"));
        fake.clock = 1000;
        const unsigned long long gaps[] = {0, 500, 2000, 60000000};
        for (unsigned long long gap : gaps) {
            fake.clock += gap;
            Out32(888, 1);
        }
        inpout::reset();
        const QStringList trace = lines(qgetenv("PARPORT_TRACE"));
        QCOMPARE(trace.size(), 4);
        for (int i = 1; i < 4; ++i) {
            const unsigned long long gap = trace[i].section(' ', 0, 0).toULongLong() - trace[i - 1].section(' ', 0, 0).toULongLong();
            const unsigned long long expected = gaps[i] > 50000000 ? gaps[i] : 10 * gaps[i];
            QVERIFY2(gap >= expected && gap < expected + 40, qPrintable(trace.join('|')));
        }
    }

    // One line per write, in order, timed in ns of CLOCK_MONOTONIC; a killed
    // run's unfinished line and zero bytes are overwritten by the next run.
    void trace()
    {
        start("PARPORT=sim PARPORT_TRACE=@/inpout32.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("5 888 1\n77 88" + QByteArray(10000, '\0'));
        file.close();
        const unsigned long long before = monotonic();
        for (short value : {0, 1, 3, 2})
            Out32(888, value);
        const unsigned long long after = monotonic();
        QCOMPARE(Out32Error(), nullptr);
        const QStringList trace = lines(path);  // there before the program ends
        QCOMPARE(trace.size(), 5);
        for (int i = 1; i < 5; ++i) {
            const unsigned long long time = trace[i].section(' ', 0, 0).toULongLong();
            QVERIFY2(time >= before && time <= after && trace[i].endsWith(QString(" 888 %1").arg("0132"[i - 1])), qPrintable(trace[i]));
        }
        inpout::reset();
        QVERIFY(QRegularExpression("^5 888 1\n([0-9]+ 888 [0-3]\n){4}$").match(contents(path)).hasMatch());
    }

    // PARPORT_TRACE=*.vcd writes a value change dump instead, a run to a file;
    // a killed writer leaves one whose whole part a logic analyser decodes.
    void valueChangeDump()
    {
        start("PARPORT=sim PARPORT_TRACE=@/trace.VCD");
        const QString path = qgetenv("PARPORT_TRACE");
        QFile::remove(path);
        fake.clock = 5000000;
        for (short value : {0, 1, 3, 2}) {
            Out32(888, value);
            fake.clock += 17000 - 1;  // the write read it once
        }
        inpout::reset();
        const QByteArray dump = contents(path);
        QVERIFY2(dump.contains("$version\n\tlibinpout32 " MOTOR_VERSION "\n$end\n$timescale 1 ns $end\n") &&
                     dump.endsWith("$enddefinitions $end\n#0\n0!\n0\"\n#17000\n1!\n#34000\n1\"\n#51000\n0!\n"),
                 dump.constData());
        if (QStandardPaths::findExecutable("sigrok-cli").isEmpty())
            QSKIP("sigrok-cli is not installed");
        const pid_t writer = fork();
        if (writer == 0) {
            qputenv("PARPORT_TRACE", (dir() + "/killed.vcd").toLocal8Bit());
            for (int i = 0; i < 2 * 96 + 1; ++i, fake.clock += 17000)
                Out32(888, short(i & 1));
            raise(SIGKILL);
        }
        waitpid(writer, nullptr, 0);
        QProcess sigrok;
        sigrok.start("sigrok-cli", {"-I", "vcd:downsample=1000", "-i", dir() + "/killed.vcd", "-P",
                                    "stepper_motor:step=D0_pulso:dir=D1_direccion", "-A", "stepper_motor=position"});
        QVERIFY(sigrok.waitForFinished(60000));
        // The decoder gives the position between two steps: 95 of them for 96 steps.
        const QStringList positions = QString(sigrok.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(positions.size(), 95);
        QCOMPARE(positions.last(), "stepper_motor-1: -95 steps");
    }

    // A trace crosses from one mapped window of its file to the next; when
    // the file can't grow, that write fails with its message, and so does
    // every later one, cleanly.
    void traceGrowsUntilItCannot()
    {
        start("PARPORT=sim PARPORT_TRACE=@/long.trace");
        const QString path = qgetenv("PARPORT_TRACE");
        QFile::remove(path);
        rlimit saved;
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = 5 << 19;  // 2.5 MiB: room for two windows, not three
        signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        int written = 0;
        for (; written < 1000000; ++written) {
            Out32(888, short(written & 3));
            if (Out32Error())
                break;
        }
        const QString message = QString::fromUtf8(Out32Error());
        Out32(888, 0);
        const bool stillFails = Out32Error() != nullptr;
        inpout::reset();
        setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY2(message.contains(path) && message.contains(QString::fromStdString(inpout::reason(EFBIG))), qPrintable(message));
        QVERIFY(stillFails);
        const QStringList trace = lines(path);
        QVERIFY(written > (1 << 20) / 30 && trace.size() == written);
        for (int i = 0; i < trace.size(); ++i)
            QVERIFY2(trace[i].endsWith(QString(" 888 %1").arg(i & 3)), qPrintable(trace[i]));
    }

    // A reader of a running trace sees only whole lines.
    void traceReadWhileWritten()
    {
        start("PARPORT=sim PARPORT_TRACE=@/read.trace");
        const QByteArray path = qgetenv("PARPORT_TRACE");
        QFile::remove(path);
        const pid_t writer = fork();
        if (writer == 0) {
            for (int i = 0; i < 100000; ++i)
                Out32(888, short(i & 3));
            _exit(Out32Error() ? 1 : 0);
        }
        const QRegularExpression whole("^[0-9]+ 888 [0-3]$");
        int fd = -1, status = 0, seen = 0;
        off_t at = 0;
        for (bool running = true, more = true; running || more;) {
            running = running && waitpid(writer, &status, WNOHANG) == 0;
            if (fd < 0 && (fd = ::open(path.constData(), O_RDONLY)) < 0)
                continue;
            char block[4096];
            const QByteArray text(block, int(std::max<ssize_t>(pread(fd, block, sizeof block, at), 0)));
            const QList<QByteArray> lines = text.left(text.lastIndexOf('\n') + 1).split('\n');
            for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
                QVERIFY2(whole.match(QLatin1String(line)).hasMatch(), line.toHex().constData());
                ++seen;
                at += line.size() + 1;
            }
            more = lines.size() > 1;
        }
        ::close(fd);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        QCOMPARE(seen, 100000);
    }

    // Writes are published for viewers, by whichever backend made them; a
    // slot left by a killed program is taken over.
    void publishes()
    {
        const std::string path = (dir() + "/inpout32.area").toStdString();
        ::unlink(path.c_str());
        std::string error;
        published::Area *area = published::mapArea(path, error);
        QVERIFY2(area, error.c_str());
        const pid_t dead = fork();
        if (dead == 0)
            _exit(0);
        waitpid(dead, nullptr, 0);
        for (published::Writer &writer : area->writers)
            writer.pid = writer.ready = dead;
        start("PARPORT=sim");
        Out32(888, 3);
        Out32(888, 2);
        published::Write last;
        QVERIFY(published::last(*area, last) && last.value == 2 && last.address == 888);
        QCOMPARE(area->writes.load(), 2ULL);
        std::int32_t pid = 0;
        std::string name;
        QVERIFY(published::writer(*area, 0, pid, name));
        QCOMPARE(pid, getpid());
        QCOMPARE(QString::fromStdString(name), "tst_inpout32");
        QVERIFY(!published::writer(*area, 1, pid, name));
        inpout::reset();
        QVERIFY(!published::writer(*area, 0, pid, name));  // released at exit
        published::unmapArea(area);
        struct stat status;
        QVERIFY(stat(path.c_str(), &status) == 0 && (status.st_mode & 0777) == 0600);
    }

    // Only an area that is this user's own and of this layout is used; any
    // other file is left exactly as it was.
    void areaOnlyItsOwn_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("refusal");  // "": used
        QTest::newRow("empty file") << "empty" << "";
        QTest::newRow("a user's file") << "notes" << "no es un área";
        QTest::newRow("symbolic link") << "link" << "enlace simbólico";
        QTest::newRow("others may write") << "shared" << "otros usuarios pueden escribir";
        QTest::newRow("another user's") << "foreign" << "pertenece a otro usuario";
        QTest::newRow("another layout") << "version" << "otra versión";
    }
    void areaOnlyItsOwn()
    {
        QFETCH(QString, kind);
        QFETCH(QString, refusal);
        const QString path = dir() + "/other.area", notes = dir() + "/notes.txt";
        QFile::remove(path);
        QFile file(kind == "link" ? notes : path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        if (kind == "version")
            file.write(QByteArray::fromHex("016d6f746f7061730100000000000000") + QByteArray(sizeof(published::Area) - 16, '\0'));
        else if (kind != "empty")
            file.write("mis notas\n");
        file.close();
        if (kind == "link")
            QVERIFY(QFile::link(notes, path));
        if (kind == "shared")
            QVERIFY(::chmod(path.toLocal8Bit(), 0666) == 0);
        if (kind == "foreign" && (geteuid() != 0 || ::chown(path.toLocal8Bit(), 65534, 65534) != 0))
            QSKIP("needs root to give a file to another user");
        const QByteArray before = contents(kind == "link" ? notes : path);
        std::string error;
        published::Area *area = published::mapArea(path.toStdString(), error);
        QCOMPARE(area != nullptr, refusal.isEmpty());
        QVERIFY2(QString::fromStdString(error).contains(refusal) && QString::fromStdString(error).contains(refusal.isEmpty() ? "" : path),
                 error.c_str());
        if (area)
            QCOMPARE(area->header.magic.load(), published::kMagic);
        else
            QCOMPARE(contents(kind == "link" ? notes : path), before);
        published::unmapArea(area);
    }
};

QTEST_GUILESS_MAIN(TestInpout32)
#include "tst_inpout32.moc"
