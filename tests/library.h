// What the port library's suites share: a stand-in kernel, a run's settings, a look at a trace, a child, stderr.
#pragma once

#include "backend.h"
#include "clock.h"
#include "inpout32.h"
#include "tracetext.h"
#include "table.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/ppdev.h>
#include <map>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

struct FakeKernel {
    std::map<std::string, std::string> files;  // what /proc holds
    std::string failing;                         // the call that fails: "open", "PPCLAIM", ...
    int err = 0;
    QStringList calls;
    unsigned long long clock = 0;  // a clock that moves one ns per reading, or 0 for the real one
    bool noDescriptors = false;    // the process's open-file limit met as the trace's watch is asked for

    int call(const std::string &what)
    {
        calls << QString::fromStdString(what);
        errno = err;
        return failing == what.substr(0, what.find(' ')) ? -1 : 0;
    }
};
inline FakeKernel fake;

inline const std::map<unsigned long, std::string> kIoctls = {
    {PPEXCL, "PPEXCL"}, {PPCLAIM, "PPCLAIM"}, {PPRELEASE, "PPRELEASE"}, {PPDATADIR, "PPDATADIR"},
    {PPWDATA, "PPWDATA"}, {GPIO_GET_CHIPINFO_IOCTL, "CHIPINFO"}, {GPIO_V2_GET_LINEINFO_IOCTL, "LINEINFO"},
    {GPIO_V2_GET_LINE_IOCTL, "GET_LINE"}, {GPIO_V2_LINE_SET_VALUES_IOCTL, "SET"}};
inline std::string number(unsigned long n) { return " " + std::to_string(n); }

// A GPIO chip "9030000.pl061" of lines "L0".."L31", each held by vueltas; the lines requested get fd 9.
inline int fakeIoctl(int, unsigned long request, void *arg)
{
    const std::string name = kIoctls.at(request);
    if (request == GPIO_GET_CHIPINFO_IOCTL)
        *static_cast<gpiochip_info *>(arg) = {"gpiochip0", "9030000.pl061", 32};
    if (auto *line = static_cast<gpio_v2_line_info *>(arg); request == GPIO_V2_GET_LINEINFO_IOCTL) {
        std::snprintf(line->name, 32, "L%u", line->offset), std::strcpy(line->consumer, "vueltas");
        line->flags = GPIO_V2_LINE_FLAG_USED;
    }
    if (auto *l = static_cast<gpio_v2_line_request *>(arg); request == GPIO_V2_GET_LINE_IOCTL) {
        const gpio_v2_line_config_attribute &a = l->config.attrs[0];
        return l->fd = 9, fake.call(name + number(l->offsets[0]) + number(l->offsets[1]) + number(l->num_lines) + " " +
                                    l->consumer + number(l->config.flags) + number(l->config.num_attrs) +
                                    number(a.attr.id) + number(a.attr.values) + "/" + std::to_string(a.mask));
    }
    if (auto *values = static_cast<gpio_v2_line_values *>(arg); request == GPIO_V2_LINE_SET_VALUES_IOCTL)
        return fake.call(name + number(values->bits) + "/" + std::to_string(values->mask));
    if (request == PPWDATA || request == PPDATADIR)
        return fake.call(name + number(request == PPWDATA ? *static_cast<unsigned char *>(arg)
                                                           : unsigned(*static_cast<int *>(arg))));
    return fake.call(name);
}

inline const inpout::SystemCalls kFake = {
    [](const char *path, int) { return fake.call("open " + std::string(path)) < 0 ? -1 : 7; },
    [](int fd) { return fake.call("close" + number(unsigned(fd))); },
    fakeIoctl,
    [](unsigned long at, unsigned long n, int on) { return fake.call("ioperm" + number(at) + number(n) + number(on)); },
    [](unsigned char value, unsigned short port) { fake.call("outb" + number(value) + number(port)); },
    [](const char *path, std::string &text) {
        errno = ENOENT;
        const auto file = fake.files.find(path);
        return !(text = file == fake.files.end() ? "" : file->second).empty();
    },
    [](const char *path) {
        const auto file = fake.files.lower_bound(path);
        return path == std::string("/dev/gpiochip0") || (file != fake.files.end() && file->first.rfind(path, 0) == 0);
    },
    [](int) { return std::string(fake.failing == "subsystem" ? "mem" : "gpio"); },
    [] { return fake.clock ? fake.clock++ : monotonicNow(); },
    [](int flags) {  // the trace's watch: the kernel's, or "inotify" failing as at a limit
        rlimit files;
        if (fake.noDescriptors && getrlimit(RLIMIT_NOFILE, &files) == 0)
            files.rlim_cur = 0, setrlimit(RLIMIT_NOFILE, &files);  // given back by the test
        return fake.failing == "inotify" ? (errno = fake.err, -1) : inotify_init1(flags);
    },
};

// Each suite's own published area and simulated port: suites run side by side.
inline QString dir() { return QCoreApplication::applicationDirPath(); }
inline QString area() { return dir() + "/" + QCoreApplication::applicationName() + ".area"; }
// A trace's lines as a reader of a running trace takes them: up to the first zero byte, whole lines only.
inline QStringList lines(const QString &path)
{
    const QByteArray all = contents(path);
    return QString::fromStdString(std::string(traffic::readableText({all.constData(), size_t(all.size())})))
        .split('\n', Qt::SkipEmptyParts);
}
// Runs `code` in a child process; its exit status, or 128 + the signal that ended it.
template <class Code>
inline int inChild(Code code)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(code());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
inline unsigned long long timeOf(const QString &line) { return line.section(' ', 0, 0).toULongLong(); }

// Settings "NAME=value ...", "@" standing for the test's folder, with a simulated port and area of its own.
inline void start(const QString &settings)
{
    inpout::reset();
    fake = FakeKernel();
    inpout::useSystemCalls(&kFake);
    for (const char *name : {"PARPORT", "PARPORT_TRACE", "PARPORT_SLOWDOWN", "PARPORT_MAXRATE"})
        qunsetenv(name);
    qputenv("PARPORT_PUBLISH", area().toLocal8Bit());
    for (const QString &setting : settings.split(' ', Qt::SkipEmptyParts))
        qputenv(setting.section('=', 0, 0).toLatin1(), setting.section('=', 1).replace('@', dir()).toLocal8Bit());
    if (qEnvironmentVariableIsSet("PARPORT_TRACE"))
        QFile::remove(qgetenv("PARPORT_TRACE"));
}

// A backend's writes of 0, 3 and to a register it lacks (refused, untraced), ports shown at base-addr: the calls.
inline void sequenceColumns() { columns<QString, QStringList, QString>("settings", "ports", "calls"); }
inline void checkSequence()
{
    const auto [settings, ports] = fetch<QString, QStringList>("settings", "ports");
    start(settings + " PARPORT_TRACE=" + area() + ".trace");  // each suite's own: suites run side by side
    for (int n = 0; n < ports.size(); ++n)
        fake.files["/proc/sys/dev/parport/parport" + std::to_string(n) + "/base-addr"] = ports[n].toStdString();
    Out32(888, 0), Out32(888, 3);
    QVERIFY(!Out32Error() && inpout::openPort()->last == 3);
    Out32(888 + 3, 1);
    QVERIFY(Out32Error());
    inpout::reset();
    QTEST(fake.calls.join(','), "calls");
    QVERIFY(!QFile::exists(area() + ".lock") && lines(area() + ".trace").size() == 2);
}

// A failure at the first write names the device, the reason and what to do; the port stays failed and lets go.
struct Failure {
    QString settings, failing;  // the call that fails; "flock": another program holds the trace
    int err;
    QStringList phrases;
    QString shown;  // what the kernel shows of ports
    bool opens;     // the port is open after the failure
};
Q_DECLARE_METATYPE(Failure)
inline void failureColumns() { QTest::addColumn<Failure>("failure"); }
inline void failure(const char *name, const QString &settings, const QString &failing, int err,
                    const QStringList &phrases, const QString &shown = "", bool opens = false)
{
    QTest::newRow(name) << Failure{settings, failing, err, phrases, shown, opens};
}
inline void checkFailure()
{
    QFETCH(Failure, failure);
    start(failure.settings);
    for (const QString &path : failure.shown.split(',', Qt::SkipEmptyParts))
        fake.files[path.toStdString()] = "x";
    fake.failing = failure.failing.toStdString(), fake.err = failure.err;
    const owned::Fd holder(failure.failing == "flock" ? ::open(qgetenv("PARPORT_TRACE"), O_RDWR | O_CREAT, 0600) : -1);
    QVERIFY(!holder || flock(holder.get(), LOCK_EX) == 0);
    Out32(888, 1);
    const QString message = QString::fromUtf8(Out32Error());
    const QStringList reason = failure.err ? QStringList{inpout::reason(failure.err).c_str()} : QStringList();
    for (const QString &phrase : failure.phrases + reason)
        QVERIFY2(!phrase.isEmpty() && message.contains(phrase), qPrintable(message + " lacks " + phrase));
    QCOMPARE(inpout::openPort() != nullptr, failure.opens);
    QVERIFY(failure.opens || failure.failing == "held" || !QFile::exists(area() + ".lock"));  // another's lock stays
    const qsizetype calls = fake.calls.size();
    Out32(888, 0);
    QVERIFY(Out32Error());
    QCOMPARE(fake.calls.size(), calls + (failure.opens ? 1 : 0));
    QVERIFY(failure.failing != "PPDATADIR" || fake.calls.contains("PPRELEASE"));  // a claim made is let go
}

// A suite of the port library: each case starts afresh, on the real kernel unless it says otherwise.
#define LIBRARY_TEST_CLEANUP void cleanup() { inpout::reset(), inpout::useSystemCalls(nullptr); }

// What `code` writes on standard error (through a pipe: a file would count against a file-size limit).
template <class Code>
QString stderrOf(Code code)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0)
        return "(no pipe)";
    owned::Fd written(ends[1]);
    const owned::Fd saved(dup(2));
    fcntl(written.get(), F_SETPIPE_SZ, 1 << 20);
    std::fflush(stderr), dup2(written.get(), 2), written.reset();  // the pipe's only writer is standard error now
    code();
    std::fflush(stderr), dup2(saved.get(), 2);
    QFile said;
    said.open(ends[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    return QString::fromUtf8(said.readAll());
}
