// The port library: its backends through a stand-in kernel, messages, slowdown and published area.
#include "library.h"
#include "published.h"

#include <clocale>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

class TestInpout32 : public QObject {
    Q_OBJECT

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
        QVERIFY(!QFile::exists(area() + ".lock"));  // a lock it made goes with it
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
        QTest::newRow("permission, not a port") << "PARPORT=/dev/null" << "open" << EACCES << QStringList{"grupo root", "no parece un puerto paralelo", "/dev/parportN"} << false << "";
        QTest::newRow("simulated, no such folder") << "PARPORT=sim PARPORT_PUBLISH=@/no-such-folder/area" << "" << ENOENT << QStringList{"no-such-folder/area.lock", "no existe"} << false << "";
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
        QVERIFY(opens || !QFile::exists(area() + ".lock"));  // a port that failed to open is let go
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

    // With no room for the area the program runs on unpublished, leaving no file, and clears dead writers' drafts.
    void noRoomForTheArea_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("status");
        QTest::newRow("file-size limit") << "limit" << 0;
        QTest::newRow("full shared memory") << "full" << 0;
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
                  start("PARPORT=sim PARPORT_PUBLISH=" + folder + "/area");
                  Out32(888, 1);
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
        const std::string path = area().toStdString();
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
