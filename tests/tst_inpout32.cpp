// The port library: the exact system calls of each backend
// (through a stand-in kernel), its messages, the simulated port and the trace.
#include "backend.h"
#include "inpout32.h"
#include "published.h"
#include "trace.h"

#include <QRegularExpression>
#include <QtTest>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <map>
#include <unistd.h>

namespace {

struct FakeKernel {
    std::map<std::string, std::string> files;  // what /proc holds
    std::string failing;                         // "open", "PPCLAIM", "PPWDATA", "ioperm", ...
    int err = 0;
    QStringList calls;

    int fail(const char *what)
    {
        if (failing != what)
            return 0;
        errno = err;
        return -1;
    }
};
FakeKernel *kernel = nullptr;

const std::map<unsigned long, QString> kIoctls = {
    {PPCLAIM, "PPCLAIM"}, {PPRELEASE, "PPRELEASE"}, {PPDATADIR, "PPDATADIR"}, {PPWDATA, "PPWDATA"}};

const inpout::SystemCalls kFake = {
    [](const char *path, int) {
        kernel->calls << QString("open %1").arg(path);
        return kernel->fail("open") < 0 ? -1 : 7;
    },
    [](int fd) {
        kernel->calls << QString("close %1").arg(fd);
        return 0;
    },
    [](int, unsigned long request, void *arg) {
        const QString name = kIoctls.at(request);
        QString call = name;
        if (request == PPWDATA)
            call += QString(" %1").arg(*static_cast<unsigned char *>(arg));
        if (request == PPDATADIR)
            call += QString(" %1").arg(*static_cast<int *>(arg));
        kernel->calls << call;
        return kernel->fail(name.toLatin1().constData());
    },
    [](unsigned long from, unsigned long count, int on) {
        kernel->calls << QString("ioperm %1 %2 %3").arg(from).arg(count).arg(on);
        return kernel->fail("ioperm");
    },
    [](unsigned char value, unsigned short port) { kernel->calls << QString("outb %1 %2").arg(value).arg(port); },
    [](const char *path, std::string &text) {
        const auto found = kernel->files.find(path);
        if (found == kernel->files.end()) {
            errno = ENOENT;
            return false;
        }
        text = found->second;
        return true;
    },
};

}  // namespace

class TestInpout32 : public QObject {
    Q_OBJECT
    FakeKernel fake;

    void start(const char *parport)
    {
        inpout::reset();
        fake = FakeKernel();
        kernel = &fake;
        inpout::useSystemCalls(&kFake);
        if (parport)
            qputenv("PARPORT", parport);
        else
            qunsetenv("PARPORT");
        qunsetenv("PARPORT_TRACE");
        qputenv("PARPORT_PUBLISH", "0");  // never the user's own area
    }

private slots:
    void cleanup()
    {
        inpout::reset();
        inpout::useSystemCalls(nullptr);
    }

    // The device that address 888 picks, and the whole ioctl sequence on it.
    void ppdevSequence_data()
    {
        QTest::addColumn<QString>("parport0");  // base-addr of each port ("" = none)
        QTest::addColumn<QString>("parport1");
        QTest::addColumn<QString>("device");
        QTest::newRow("no ports listed") << "" << "" << "/dev/parport0";
        QTest::newRow("motherboard") << "888\t1912\n" << "" << "/dev/parport0";
        QTest::newRow("card first") << "53264\t53272\n" << "888\t1912\n" << "/dev/parport1";
        QTest::newRow("card only") << "53264\t53272\n" << "" << "/dev/parport0";
    }
    void ppdevSequence()
    {
        QFETCH(QString, parport0);
        QFETCH(QString, parport1);
        QFETCH(QString, device);
        start(nullptr);
        if (!parport0.isEmpty())
            fake.files["/proc/sys/dev/parport/parport0/base-addr"] = parport0.toStdString();
        if (!parport1.isEmpty())
            fake.files["/proc/sys/dev/parport/parport1/base-addr"] = parport1.toStdString();
        Out32(888, 0);
        Out32(888, 3);
        QCOMPARE(Out32Error(), nullptr);
        inpout::reset();
        QCOMPARE(fake.calls, QStringList({"open " + device, "PPCLAIM", "PPDATADIR 0", "PPWDATA 0", "PPWDATA 3",
                                          "PPRELEASE", "close 7"}));
    }

    void directIo()
    {
        start("io");
        Out32(888, 2);
        QCOMPARE(Out32Error(), nullptr);
        inpout::reset();
        QCOMPARE(fake.calls, QStringList({"ioperm 888 3 1", "outb 2 888", "ioperm 888 3 0"}));
    }

    // Each failure names the device, gives the system's reason and says what to do.
    void failures_data()
    {
        QTest::addColumn<QString>("parport");
        QTest::addColumn<QString>("failing");
        QTest::addColumn<int>("err");
        QTest::addColumn<QStringList>("phrases");
        QTest::addColumn<bool>("opens");  // the port is open after the failure
        const QStringList sim{"/dev/parport0", "PARPORT=sim"};
        QTest::newRow("no device") << "" << "open" << ENOENT << (sim + QStringList{"modprobe parport_pc ppdev"}) << false;
        QTest::newRow("permission") << "" << "open" << EACCES << QStringList{"/dev/parport0", "grupo lp", "no hace falta ser root"} << false;
        QTest::newRow("busy at open") << "/dev/parport3" << "open" << EBUSY << QStringList{"/dev/parport3", "rmmod lp"} << false;
        QTest::newRow("busy at claim") << "" << "PPCLAIM" << EBUSY << QStringList{"/dev/parport0", "rmmod lp"} << false;
        QTest::newRow("not ppdev") << "/dev/ttyS0" << "PPCLAIM" << ENOTTY << QStringList{"/dev/ttyS0", "PPCLAIM", "no parece un puerto paralelo"} << false;
        QTest::newRow("write fails") << "" << "PPWDATA" << EIO << QStringList{"/dev/parport0", "PPWDATA"} << true;
        QTest::newRow("io refused") << "io" << "ioperm" << EPERM << QStringList{"0x378", "CAP_SYS_RAWIO", "lockdown", "grupo lp"} << false;
        QTest::newRow("unknown setting") << "lpt1" << "" << 0 << QStringList{"lpt1", "PARPORT=sim"} << false;
    }
    void failures()
    {
        QFETCH(QString, parport);
        QFETCH(QString, failing);
        QFETCH(int, err);
        QFETCH(QStringList, phrases);
        QFETCH(bool, opens);
        start(parport.isEmpty() ? nullptr : parport.toLatin1().constData());
        fake.failing = failing.toStdString();
        fake.err = err;
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
        QCOMPARE(Out32Error() != nullptr, !opens || failing == "PPWDATA");
        if (!opens)
            QCOMPARE(fake.calls.size(), calls);
    }

    // The simulated port keeps the last value; the trace gets one line per write.
    void simulatedWithTrace()
    {
        start("sim");
        const QString path = freshTrace(QCoreApplication::applicationDirPath(), "inpout32");
        qputenv("PARPORT_TRACE", path.toLocal8Bit());
        const short values[] = {0, 1, 3, 2};
        for (short value : values)
            Out32(888, value);
        QCOMPARE(Out32Error(), nullptr);
        QCOMPARE(inpout::openPort()->last, 2);
        QVERIFY(fake.calls.isEmpty());  // nothing reached the kernel's port calls

        // Every line is in the file before the program ends...
        const std::vector<TraceLine> trace = readTrace(path);
        QCOMPARE(trace.size(), size_t(4));
        for (size_t i = 0; i < trace.size(); ++i)
            QVERIFY(trace[i].value == values[i] && (i == 0 || trace[i].time >= trace[i - 1].time));
        // ...and at the end it holds those lines and nothing else.
        inpout::reset();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(QRegularExpression("^([0-9]+ 888 [0-3]\n){4}$").match(QString(file.readAll())).hasMatch());
    }

    // A run that was killed leaves its reserve of zero bytes: the next run
    // writes after the last line, not after the zeros.
    void traceAfterKill()
    {
        start("sim");
        const QString path = freshTrace(QCoreApplication::applicationDirPath(), "killed");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("5 888 1\n" + QByteArray(10000, '\0'));
        file.close();
        qputenv("PARPORT_TRACE", path.toLocal8Bit());
        Out32(888, 2);
        inpout::reset();
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(QRegularExpression("^5 888 1\n[0-9]+ 888 2\n$").match(QString(file.readAll())).hasMatch());
    }

    // Every write is published for viewers, by whichever backend made it.
    void publishes()
    {
        start("sim");
        const std::string path = QCoreApplication::applicationDirPath().toStdString() + "/inpout32.area";
        ::unlink(path.c_str());
        qputenv("PARPORT_PUBLISH", path.c_str());
        Out32(888, 3);
        Out32(888, 2);
        std::string error;
        published::Area *area = published::mapArea(path, error);
        QVERIFY(area);
        QCOMPARE(area->writes.load(), 2ULL);
        QCOMPARE(area->lastValue.load(), 2);
        QCOMPARE(area->writers[0].pid.load(), int(getpid()));
        published::Write write;
        QVERIFY(published::read(*area, 0, write));
        QCOMPARE(write.value, short(3));
        inpout::reset();
        QCOMPARE(area->writers[0].pid.load(), 0);  // released at exit
        published::unmapArea(area);
    }

    void traceCannotOpen()
    {
        start("sim");
        const QString path = QCoreApplication::applicationDirPath() + "/no-such-folder/x.trace";
        qputenv("PARPORT_TRACE", path.toLocal8Bit());
        Out32(888, 0);
        const QString message = QString::fromUtf8(Out32Error());
        QVERIFY(message.contains(path));
        QVERIFY(message.contains("PARPORT_TRACE"));
        QVERIFY(message.contains(QString::fromStdString(inpout::reason(ENOENT))));
    }
};

QTEST_GUILESS_MAIN(TestInpout32)
#include "tst_inpout32.moc"
