// The port library: its backends through a stand-in kernel, messages, slowdown, traces and published area.
#include "backend.h"
#include "clock.h"
#include "inpout32.h"
#include "published.h"
#include "vcd.h"

#include <QRegularExpression>
#include <QtTest>
#include <csignal>
#include <clocale>
#include <map>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/ioctl.h>
#include <linux/gpio.h>
#include <linux/ppdev.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

unsigned long long monotonic() { return monotonicNow(); }

struct FakeKernel {
    std::map<std::string, std::string> files;  // what /proc holds
    std::string failing;                         // the call that fails: "open", "PPCLAIM", ...
    int err = 0;
    QStringList calls;
    unsigned long long clock = 0;  // a clock that moves one ns per reading, or 0 for the real one

    int call(const std::string &what)
    {
        calls << QString::fromStdString(what);
        errno = err;
        return failing == what.substr(0, what.find(' ')) ? -1 : 0;
    }
};
FakeKernel *kernel = nullptr;

const std::map<unsigned long, std::string> kIoctls = {
    {PPEXCL, "PPEXCL"}, {PPCLAIM, "PPCLAIM"}, {PPRELEASE, "PPRELEASE"}, {PPDATADIR, "PPDATADIR"}, {PPWDATA, "PPWDATA"},
    {GPIO_GET_CHIPINFO_IOCTL, "CHIPINFO"}, {GPIO_V2_GET_LINEINFO_IOCTL, "LINEINFO"}, {GPIO_V2_GET_LINE_IOCTL, "GET_LINE"},
    {GPIO_V2_LINE_SET_VALUES_IOCTL, "SET"}};
std::string number(unsigned long n) { return " " + std::to_string(n); }

const inpout::SystemCalls kFake = {
    [](const char *path, int) { return kernel->call("open " + std::string(path)) < 0 ? -1 : 7; },
    [](int fd) { return kernel->call("close" + number(unsigned(fd))); },
    [](int, unsigned long request, void *arg) {
        const std::string name = kIoctls.at(request);
        // A GPIO chip "9030000.pl061" of lines "L0".."L7", each held by vueltas; the lines requested get fd 9.
        if (request == GPIO_GET_CHIPINFO_IOCTL)
            return *static_cast<gpiochip_info *>(arg) = {"gpiochip0", "9030000.pl061", 8}, kernel->call(name);
        if (auto *line = static_cast<gpio_v2_line_info *>(arg); request == GPIO_V2_GET_LINEINFO_IOCTL)
            return std::snprintf(line->name, 32, "L%u", line->offset), std::strcpy(line->consumer, "vueltas"), line->flags = GPIO_V2_LINE_FLAG_USED, kernel->call(name);
        if (auto *lines = static_cast<gpio_v2_line_request *>(arg); request == GPIO_V2_GET_LINE_IOCTL)
            return lines->fd = 9, kernel->call(name + number(lines->offsets[0]) + number(lines->offsets[1]) + number(lines->num_lines) + " " + lines->consumer +
                                               number(lines->config.flags) + number(lines->config.attrs[0].attr.values));
        if (auto *values = static_cast<gpio_v2_line_values *>(arg); request == GPIO_V2_LINE_SET_VALUES_IOCTL)
            return kernel->call(name + number(values->bits) + "/" + std::to_string(values->mask));
        if (request == PPWDATA)
            return kernel->call(name + number(*static_cast<unsigned char *>(arg)));
        return kernel->call(request == PPDATADIR ? name + number(unsigned(*static_cast<int *>(arg))) : name);
    },
    [](unsigned long from, unsigned long count, int on) { return kernel->call("ioperm" + number(from) + number(count) + number(unsigned(on))); },
    [](unsigned char value, unsigned short port) { kernel->call("outb" + number(value) + number(port)); },
    [](const char *path, std::string &text) {
        errno = ENOENT;
        const auto file = kernel->files.find(path);
        return !(text = file == kernel->files.end() ? "" : file->second).empty();
    },
    [](const char *path) {
        if (path == std::string("/dev/gpiochip0"))
            return true;
        const auto file = kernel->files.lower_bound(path);
        return file != kernel->files.end() && file->first.rfind(path, 0) == 0;
    },
    [] { return kernel->clock ? kernel->clock++ : monotonic(); },
};

QString dir() { return QCoreApplication::applicationDirPath(); }
QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}
// A trace's lines as a reader of a running trace takes them: up to the first zero byte, whole lines only.
QStringList lines(const QString &path)
{
    QByteArray text = contents(path);
    text.truncate(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    return QString(text.left(text.lastIndexOf('\n') + 1)).split('\n', Qt::SkipEmptyParts);
}
// Runs `code` in a child process; its exit status, or 128 + the signal that ended it.
template <class Code>
int inChild(Code code)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(code());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
unsigned long long timeOf(const QString &line) { return line.section(' ', 0, 0).toULongLong(); }

}  // namespace

class TestInpout32 : public QObject {
    Q_OBJECT
    FakeKernel fake;

    // Settings "NAME=value ...", "@" standing for the test's folder, with a simulated port and area of its own.
    void start(const QString &settings)
    {
        inpout::reset();
        fake = FakeKernel();
        kernel = &fake;
        inpout::useSystemCalls(&kFake);
        for (const char *name : {"PARPORT", "PARPORT_TRACE", "PARPORT_SLOWDOWN"})
            qunsetenv(name);
        qputenv("PARPORT_PUBLISH", (dir() + "/inpout32.area").toLocal8Bit());
        QFile::remove(dir() + "/inpout32.area.lock");
        for (const QString &setting : settings.split(' ', Qt::SkipEmptyParts))
            qputenv(setting.section('=', 0, 0).toLatin1(), setting.section('=', 1).replace('@', dir()).toLocal8Bit());
        if (qEnvironmentVariableIsSet("PARPORT_TRACE"))
            QFile::remove(qgetenv("PARPORT_TRACE"));
    }

private slots:
    void cleanup()
    {
        inpout::reset();
        inpout::useSystemCalls(nullptr);
    }

    // The calls the kernel test can't see: ppdev with no port at 888 (then the first), direct I/O's registers.
    void sequence_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("parport0");  // its base-addr
        QTest::addColumn<QString>("calls");
        QTest::newRow("ppdev, card only") << "" << "53264\t53272\n"
                                          << "open /dev/parport0,PPEXCL,PPCLAIM,PPDATADIR 0,PPWDATA 0,PPWDATA 3,PPRELEASE,close 7";
        QTest::newRow("direct I/O, its three registers") << "PARPORT=io" << "" << "ioperm 888 3 1,outb 0 888,outb 3 888,ioperm 888 3 0";
        // Lines requested once as outputs at 0, named after the program; direction set before step; released.
        const QString gpio = "CHIPINFO,GET_LINE 4 6 2 tst_inpout32 8 0,close 7,SET 2/2,SET 1/1,close 9";
        QTest::newRow("gpio by name, offsets") << "PARPORT=gpio:gpiochip0:4,6" << "" << "open /dev/gpiochip0," + gpio;
        QTest::newRow("gpio by label, a line's name") << "PARPORT=gpio:9030000.pl061:4,L6" << "" << "open /dev/gpiochip0," + QString(gpio).replace(",GET", "," + QString("LINEINFO,").repeated(7) + "GET");
    }
    void sequence()
    {
        QFETCH(QString, settings);
        start(settings);
        QFETCH(QString, parport0);
        fake.files["/proc/sys/dev/parport/parport0/base-addr"] = parport0.toStdString();
        Out32(888, 0);
        Out32(888, 3);
        QCOMPARE(Out32Error(), nullptr);
        QCOMPARE(inpout::openPort()->last, 3);
        Out32(888 + 3, 1);  // past the port's registers: refused
        QVERIFY(Out32Error());
        inpout::reset();
        QTEST(fake.calls.join(','), "calls");
        QVERIFY(!QFile::exists(dir() + "/inpout32.area.lock"));  // a lock it made goes with it
    }

    // Each failure names the device, gives the system's reason and says what
    // to do; a port that could not open stays failed, without trying again.
    void failures_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("failing");  // the call that fails; "flock": another program holds the trace
        QTest::addColumn<int>("err");
        QTest::addColumn<QStringList>("phrases");
        QTest::addColumn<bool>("opens");  // the port is open after the failure
        QTest::addColumn<QString>("shown");  // what the kernel shows of ports
        const QStringList noPort{"/dev/parport0", "no tiene puerto paralelo", "«Tst_inpout32 con el puerto simulado (sin hardware)»", "PARPORT=sim tst_inpout32", "simulador"};
        const QStringList taken{"otro programa", "rmmod lp"};
        QTest::newRow("no port found") << "" << "open" << ENODEV << noPort << false
                                       << "/sys/module/parport_pc,/lib/modules/" + QSysInfo::kernelVersion() + "/kernel/drivers/parport";
        QTest::newRow("ppdev not loaded") << "" << "open" << ENOENT << QStringList{"modprobe ppdev"} << false << "/proc/sys/dev/parport/parport1";
        QTest::newRow("io, no direct access") << "PARPORT=io" << "ioperm" << ENOSYS << QStringList{"no da acceso directo", "ppdev"} << false << "";
        QTest::newRow("permission, container") << "" << "open" << EPERM << QStringList{"/dev/parport0", "grupo lp", "no hace falta ser root"} << false << "";
        QTest::newRow("busy at open") << "PARPORT=/dev/parport3" << "open" << EBUSY << (QStringList(taken) << "/dev/parport3") << false << "";
        QTest::newRow("busy at claim") << "" << "PPCLAIM" << EBUSY << (QStringList(taken) << "/dev/parport0") << false << "";
        QTest::newRow("lines not driven") << "" << "PPDATADIR" << EIO << QStringList{"/dev/parport0", "PPDATADIR"} << false << "";
        QTest::newRow("write fails") << "" << "PPWDATA" << EIO << QStringList{"/dev/parport0", "PPWDATA"} << true << "";
        QTest::newRow("unknown setting") << "PARPORT=lpt1" << "" << 0 << QStringList{"«lpt1»", "PARPORT=sim"} << false << "";
        QTest::newRow("gpio, no permission") << "PARPORT=gpio:gpiochip0:4,6" << "open" << EACCES << QStringList{"/dev/gpiochip0", "grupo gpio", "udev"} << false << "";
        QTest::newRow("gpio, not a chip") << "PARPORT=gpio:/dev/null:4,6" << "CHIPINFO" << ENOTTY << QStringList{"/dev/null no es un chip GPIO"} << false << "";
        QTest::newRow("gpio, no such chip") << "PARPORT=gpio:pl061:4,6" << "" << 0 << QStringList{"«pl061»", "gpiodetect"} << false << "";
        QTest::newRow("gpio, no such line") << "PARPORT=gpio:gpiochip0:4,GPIO27" << "" << 0 << QStringList{"«GPIO27»", "9030000.pl061", "de 0 a 7"} << false << "";
        QTest::newRow("gpio, past the last line") << "PARPORT=gpio:gpiochip0:8,2" << "" << 0 << QStringList{"«8»", "/dev/gpiochip0"} << false << "";
        QTest::newRow("gpio, lines held") << "PARPORT=gpio:gpiochip0:4,6" << "GET_LINE" << EBUSY << QStringList{"las tiene «vueltas»", "/dev/gpiochip0"} << false << "";
        QTest::newRow("gpio, no v2 interface") << "PARPORT=gpio:gpiochip0:4,6" << "GET_LINE" << ENOTTY << QStringList{"v2", "Linux 5.10"} << false << "";
        for (QString bad : {"gpiochip0:17", "gpiochip0:5,5", ":1,2", "gpiochip0:1,"})
            QTest::newRow(qPrintable(bad)) << "PARPORT=gpio:" + bad << "" << 0 << QStringList{"«gpio:" + bad + "»", "PARPORT=gpio:CHIP:PASO,DIRECCION"} << false << "";
        for (const char *bad : {"0.99", "100001", "2,5", "1e3", "diez", "."})
            QTest::newRow(bad) << "PARPORT=sim PARPORT_SLOWDOWN=" + QString(bad) << "" << 0
                               << QStringList{"PARPORT_SLOWDOWN", "«" + QString(bad) + "»", "100000"} << false << "";
        QTest::newRow("trace folder missing") << "PARPORT=sim PARPORT_TRACE=@/no-such-folder/x.trace" << "" << ENOENT
                                              << QStringList{"no-such-folder/x.trace", "PARPORT_TRACE"} << false << "";
        QTest::newRow("trace in use") << "PARPORT=sim PARPORT_TRACE=@/taken.trace" << "flock" << 0
                                      << QStringList{"taken.trace", "ya lo está usando otro programa"} << false << "";
    }
    void failures()
    {
        QFETCH(QString, settings);
        QFETCH(QString, failing);
        QFETCH(int, err);
        QFETCH(QStringList, phrases);
        QFETCH(bool, opens);
        QFETCH(QString, shown);
        start(settings);
        for (const QString &path : shown.split(',', Qt::SkipEmptyParts))
            fake.files[path.toStdString()] = "x";
        fake.failing = failing.toStdString();
        fake.err = err;
        const int holder = failing == "flock" ? ::open(qgetenv("PARPORT_TRACE").constData(), O_RDWR | O_CREAT, 0600) : -1;
        QVERIFY(holder < 0 || flock(holder, LOCK_EX) == 0);
        Out32(888, 1);
        const QString message = QString::fromUtf8(Out32Error());
        for (const QString &phrase : phrases + QStringList{QString::fromStdString(err ? inpout::reason(err) : "")})
            QVERIFY2(message.contains(phrase), qPrintable(message + " lacks " + phrase));
        QCOMPARE(inpout::openPort() != nullptr, opens);
        QVERIFY(opens || !QFile::exists(dir() + "/inpout32.area.lock"));  // a port that failed to open is let go
        const qsizetype calls = fake.calls.size();
        Out32(888, 0);
        QVERIFY(Out32Error());
        QCOMPARE(fake.calls.size(), calls + (opens ? 1 : 0));
        QVERIFY(failing != "PPDATADIR" || fake.calls.contains("PPRELEASE"));  // a claim made is let go
        ::close(holder);
    }

    // PARPORT_SLOWDOWN=6.5, read in a locale whose decimals have a comma, makes each gap 6.5 times the
    // program's own, on a clock that moves only when read; none beyond 0.1 s, and one over 50 ms is left as it is.
    void slowdown()
    {
        qputenv("LOCPATH", QByteArray(LOCALES));
        if (!setlocale(LC_ALL, "es_ES.UTF-8"))
            QSKIP("no Spanish locale was built into " LOCALES);
        start("PARPORT=sim PARPORT_SLOWDOWN=6.5 PARPORT_TRACE=@/slow.trace");
        fake.clock = 1000;
        const unsigned long long gaps[] = {0, 500, 20000000, 60000000};
        for (unsigned long long gap : gaps) {
            fake.clock += gap;
            Out32(888, 1);
        }
        inpout::reset();
        setlocale(LC_ALL, "C");
        const QStringList trace = lines(qgetenv("PARPORT_TRACE"));
        QCOMPARE(trace.size(), 4);
        for (int i = 1; i < 4; ++i) {
            const unsigned long long gap = timeOf(trace[i]) - timeOf(trace[i - 1]);
            const unsigned long long expected = gaps[i] > 50000000 ? gaps[i] : std::min(gaps[i] * 13 / 2, 100000000ULL);
            QVERIFY2(gap >= expected && gap < expected + 40, qPrintable(trace.join('|')));
        }
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

    // Just into a new window, a running trace shows whole lines of its own and nothing of the old window's mark.
    void windowMoves()
    {
        start("PARPORT=sim PARPORT_TRACE=@/moves.trace");
        while (QFileInfo(dir() + "/moves.trace").size() <= (1 << 20))  // into the second window
            Out32(888, 1);
        for (const QString &line : lines(dir() + "/moves.trace"))
            QVERIFY2(QRegularExpression("^\\d+ 888 1$").match(line).hasMatch(), qPrintable(line));
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

    // A trace or area cut short, or a forked child's exit, never stops the motor; a trace says once it lost lines.
    void survives_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("said");
        QTest::newRow("trace emptied") << "trace" << "se acortó";
        QTest::newRow("area emptied") << "area" << "";
        QTest::newRow("a forked child exits") << "fork" << "";
        QTest::newRow("trace emptied as the program ends") << "end" << "";
    }
    void survives()
    {
        QFETCH(QString, what);
        start("PARPORT=sim PARPORT_SLOWDOWN=1 PARPORT_TRACE=@/survives.trace");  // the least slowdown: none
        const QString trace = qgetenv("PARPORT_TRACE"), area = qgetenv("PARPORT_PUBLISH");
        Out32(888, 1);
        if (what == "fork")
            inChild([] { std::exit(0); return 0; });
        else
            QCOMPARE(::truncate((what == "area" ? area : trace).toLocal8Bit(), 0), 0);
        if (what == "end") {  // with no write to notice it, the trace is still not grown back
            inpout::reset();
            QCOMPARE(QFileInfo(trace).size(), 0);
            return;
        }
        QString said;
        for (int i = 0; i < 2000; ++i, Out32(888, short(i & 3)))
            said += QString::fromUtf8(Out32Error());
        Out32(888, 0);
        QVERIFY(!Out32Error() && inpout::openPort()->last == 0);
        inpout::reset();
        QTEST(said.contains("se acortó") ? QString("se acortó") : said, "said");
        QCOMPARE(lines(trace).size(), what == "trace" ? 0 : 2002);
    }

    // With no room for the area the program runs on unpublished, leaving no file, and clears dead writers'
    // drafts; a fault that is not the library's still ends the program as it would have.
    void noRoomForTheArea_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("status");
        QTest::newRow("file-size limit") << "limit" << 0;
        QTest::newRow("full shared memory") << "full" << 0;
        QTest::newRow("a fault elsewhere") << "fault" << 128 + SIGBUS;
    }
    void noRoomForTheArea()
    {
        QFETCH(QString, what);
        const QString folder = dir() + "/full";
        if (what == "full" && geteuid() != 0)
            QSKIP("needs root: a small tmpfs in a private mount namespace");
        QDir(folder).removeRecursively();
        QVERIFY(QDir().mkpath(folder));
        QTEST(inChild([&] {
                  const rlimit limit = {1 << 16, RLIM_INFINITY};
                  if (what == "limit" && setrlimit(RLIMIT_FSIZE, &limit) != 0)
                      return 10;
                  if (what == "full" && (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                         mount("tmpfs", folder.toLocal8Bit(), "tmpfs", 0, "size=64k") != 0))
                      return 11;
                  QFile fill(folder + "/fill");
                  if (what == "full" && !(fill.open(QIODevice::WriteOnly) && fill.write(QByteArray(56 << 10, 'x')) && fill.flush()))
                      return 12;
                  QFile(folder + "/area.nuevo-1073741824").open(QIODevice::WriteOnly);  // a dead writer's
                  const QString live = QString("area.nuevo-%1").arg(getppid());  // a live one's
                  QFile(folder + "/" + live).open(QIODevice::WriteOnly);
                  signal(SIGBUS, SIG_DFL);  // as in a program, not a test
                  start("PARPORT=sim PARPORT_PUBLISH=@/full/area");  // @: the folder, which may hold a blank
                  Out32(888, 1);
                  if (what == "fault")
                      raise(SIGBUS);
                  Out32(888, 0);
                  const QStringList left = QDir(folder).entryList({"area", "area.nuevo-*"}, QDir::Files);
                  return Out32Error() || inpout::openPort()->last != 0 ? 1 : left == QStringList{live} ? 0 : 2;
              }),
              "status");
    }

    // Writes are published for viewers; a slot left by a killed program, or held by a pid given since to
    // another process, is taken over; a new area is this user's alone.
    void publishes()
    {
        const std::string path = (dir() + "/inpout32.area").toStdString();
        ::unlink(path.c_str());
        QVERIFY(published::areaFrom("a") == "a" && published::areaFrom("0").empty());  // a plain name is a file
        std::string error, name;
        published::Area *area = published::mapArea(path, error);
        QVERIFY2(area, error.c_str());
        for (published::Writer &writer : area->writers)  // long gone, or a pid since given to another
            writer.pid = writer.ready = &writer == area->writers ? getppid() : 1 << 30;
        start("PARPORT=sim PARPORT_SLOWDOWN=100000");  // the most slowdown, which stretches no gap past 0.1 s
        QFile notes(QString::fromStdString(path) + ".lock");  // a file of the user's with the lock's name: used, never written
        QVERIFY(notes.open(QIODevice::WriteOnly | QIODevice::Truncate) && notes.write("mis notas (pid 5)\n") && (notes.close(), true));
        Out32(888, 3);
        Out32(888, 2);
        published::Write last;
        QVERIFY(published::last(*area, last) && last.value == 2 && last.address == 888 && area->writes == 2);
        std::int32_t pid = 0;
        QVERIFY(published::writer(*area, 0, pid, name) && pid == getpid() && name == "tst_inpout32");
        inpout::reset();
        QVERIFY(!published::writer(*area, 0, pid, name) && !published::writer(*area, 1, pid, name));  // released; long gone
        QCOMPARE(contents(notes.fileName()), "mis notas (pid 5)\n");
        notes.remove();
        published::unmapArea(area);
        struct stat status;
        QVERIFY(stat(path.c_str(), &status) == 0 && (status.st_mode & 0777) == 0600);
    }

    // Only an area that is this user's own and of this layout is used; any other file is left as it was.
    void areaOnlyItsOwn_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("refusal");  // "": used
        QTest::newRow("empty file") << "empty" << "";
        QTest::newRow("a folder") << "folder" << "no se pudo abrir: ";
        QTest::newRow("a user's file") << "notes" << "no es un área";
        QTest::newRow("symbolic link") << "link" << "enlace simbólico";
        QTest::newRow("others may write") << "0602" << "otros usuarios pueden escribir";
        QTest::newRow("its group may write") << "0620" << "otros usuarios pueden escribir";
        QTest::newRow("another user's") << "foreign" << "pertenece a otro usuario";
        QTest::newRow("another layout") << "version" << "otra versión";
    }
    void areaOnlyItsOwn()
    {
        QFETCH(QString, kind);
        QFETCH(QString, refusal);
        const QString path = dir() + "/other.area", file = kind == "link" ? dir() + "/notes.txt" : path;
        QFile::remove(path);
        const QByteArray before = kind == "empty" ? "" : kind == "version" ? QByteArray::fromHex("016d6f746f7061730100000000000000")
                                                                                 .leftJustified(sizeof(published::Area), '\0')
                                                                           : QByteArray("mis notas\n").leftJustified(sizeof(published::Area));
        QDir(path).removeRecursively();
        QFile written(file);
        QVERIFY(kind == "folder" ? QDir().mkdir(path) : written.open(QIODevice::WriteOnly | QIODevice::Truncate) && written.write(before) == before.size());
        written.close();
        QVERIFY(kind != "link" || QFile::link(file, path));
        QVERIFY(!kind.startsWith('0') || ::chmod(path.toLocal8Bit(), kind.toUInt(nullptr, 8)) == 0);
        if (kind == "foreign" && (geteuid() != 0 || ::chown(path.toLocal8Bit(), 65534, 65534) != 0))
            QSKIP("needs root to give a file to another user");
        std::string error;
        published::Area *area = published::mapArea(path.toStdString(), error);
        QCOMPARE(area != nullptr, refusal.isEmpty());
        QVERIFY2(QString::fromStdString(error).contains(refusal) && (!area || error.empty()), error.c_str());
        QVERIFY(area ? area->header.magic == published::kMagic && QFileInfo(path).size() == qint64(sizeof(published::Area)) && QFile::permissions(path) == (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser)
                     : (kind == "folder" || contents(file) == before) && error.find(path.toStdString()) != std::string::npos);
        published::unmapArea(area);
    }
};

QTEST_GUILESS_MAIN(TestInpout32)
#include "tst_inpout32.moc"
