// What the port library's suites share: a stand-in kernel, the settings of a run, and ways to look at a
// trace, at a child process and at standard error.
#pragma once

#include "backend.h"
#include "clock.h"
#include "inpout32.h"

#include <QtTest>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/ppdev.h>
#include <map>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

inline unsigned long long monotonic() { return monotonicNow(); }

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
inline FakeKernel fake;
inline FakeKernel *kernel = &fake;

inline const std::map<unsigned long, std::string> kIoctls = {
    {PPEXCL, "PPEXCL"}, {PPCLAIM, "PPCLAIM"}, {PPRELEASE, "PPRELEASE"}, {PPDATADIR, "PPDATADIR"}, {PPWDATA, "PPWDATA"},
    {GPIO_GET_CHIPINFO_IOCTL, "CHIPINFO"}, {GPIO_V2_GET_LINEINFO_IOCTL, "LINEINFO"}, {GPIO_V2_GET_LINE_IOCTL, "GET_LINE"},
    {GPIO_V2_LINE_SET_VALUES_IOCTL, "SET"}};
inline std::string number(unsigned long n) { return " " + std::to_string(n); }

inline const inpout::SystemCalls kFake = {
    [](const char *path, int) { return kernel->call("open " + std::string(path)) < 0 ? -1 : 7; },
    [](int fd) { return kernel->call("close" + number(unsigned(fd))); },
    [](int, unsigned long request, void *arg) {
        const std::string name = kIoctls.at(request);
        // A GPIO chip "9030000.pl061" of lines "L0".."L31", each held by vueltas; the lines requested get fd 9.
        if (request == GPIO_GET_CHIPINFO_IOCTL)
            return *static_cast<gpiochip_info *>(arg) = {"gpiochip0", "9030000.pl061", 32}, kernel->call(name);
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
    [](int) { return std::string(kernel->failing == "subsystem" ? "mem" : "gpio"); },
    [] { return kernel->clock ? kernel->clock++ : monotonic(); },
};

// Each suite's own published area and simulated port: suites run side by side.
inline QString area() { return QCoreApplication::applicationDirPath() + "/" + QCoreApplication::applicationName() + ".area"; }
inline QString dir() { return QCoreApplication::applicationDirPath(); }
inline QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}
// A trace's lines as a reader of a running trace takes them: up to the first zero byte, whole lines only.
inline QStringList lines(const QString &path)
{
    QByteArray text = contents(path);
    text.truncate(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    return QString(text.left(text.lastIndexOf('\n') + 1)).split('\n', Qt::SkipEmptyParts);
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
    for (const char *name : {"PARPORT", "PARPORT_TRACE", "PARPORT_SLOWDOWN"})
        qunsetenv(name);
    qputenv("PARPORT_PUBLISH", area().toLocal8Bit());
    for (const QString &setting : settings.split(' ', Qt::SkipEmptyParts))
        qputenv(setting.section('=', 0, 0).toLatin1(), setting.section('=', 1).replace('@', dir()).toLocal8Bit());
    if (qEnvironmentVariableIsSet("PARPORT_TRACE"))
        QFile::remove(qgetenv("PARPORT_TRACE"));
}

// A backend's writes of 0 and 3, and one past the port's registers (refused), under `settings`: the calls the
// kernel saw, the last one closing what the port opened; a lock it made goes with it.
inline void sequenceColumns()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QStringList>("ports");  // the base-addr of each port the kernel shows
    QTest::addColumn<QString>("calls");
}
inline void checkSequence()
{
    QFETCH(QString, settings);
    start(settings);
    QFETCH(QStringList, ports);
    for (int n = 0; n < ports.size(); ++n)
        fake.files["/proc/sys/dev/parport/parport" + std::to_string(n) + "/base-addr"] = ports[n].toStdString();
    Out32(888, 0);
    Out32(888, 3);
    QCOMPARE(Out32Error(), nullptr);
    QCOMPARE(inpout::openPort()->last, 3);
    Out32(888 + 3, 1);
    QVERIFY(Out32Error());
    inpout::reset();
    QTEST(fake.calls.join(','), "calls");
    QVERIFY(!QFile::exists(area() + ".lock"));
}

// A failure at the first write names the device, gives the system's reason and says what to do; a port that
// could not open stays failed, without trying again, and lets go of what it took.
inline void failureColumns()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("failing");  // the call that fails; "flock": another program holds the trace
    QTest::addColumn<int>("err");
    QTest::addColumn<QStringList>("phrases");
    QTest::addColumn<bool>("opens");  // the port is open after the failure
    QTest::addColumn<QString>("shown");  // what the kernel shows of ports
}
inline void checkFailure()
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
    const owned::Fd holder(failing == "flock" ? ::open(qgetenv("PARPORT_TRACE").constData(), O_RDWR | O_CREAT, 0600) : -1);
    QVERIFY(!holder || flock(holder.get(), LOCK_EX) == 0);
    Out32(888, 1);
    const QString message = QString::fromUtf8(Out32Error());
    for (const QString &phrase : phrases + QStringList{QString::fromStdString(err ? inpout::reason(err) : "")})
        QVERIFY2(message.contains(phrase), qPrintable(message + " lacks " + phrase));
    QCOMPARE(inpout::openPort() != nullptr, opens);
    QVERIFY(opens || failing == "held" || !QFile::exists(area() + ".lock"));  // another's lock stays
    const qsizetype calls = fake.calls.size();
    Out32(888, 0);
    QVERIFY(Out32Error());
    QCOMPARE(fake.calls.size(), calls + (opens ? 1 : 0));
    QVERIFY(failing != "PPDATADIR" || fake.calls.contains("PPRELEASE"));  // a claim made is let go
}

// A suite of the port library: each case starts afresh, on the real kernel unless it says otherwise.
#define LIBRARY_TEST_CLEANUP                                                                                       \
    void cleanup()                                                                                                  \
    {                                                                                                               \
        inpout::reset();                                                                                            \
        inpout::useSystemCalls(nullptr);                                                                            \
    }

// What `code` writes on standard error (through a pipe: a file would count against a file-size limit).
template <class Code>
QString stderrOf(Code code)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0)
        return "(no pipe)";
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(ends[1], 2);
    ::close(ends[1]);
    code();
    std::fflush(stderr);
    dup2(saved, 2);
    ::close(saved);
    QFile said;
    said.open(ends[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    return QString::fromUtf8(said.readAll());
}
