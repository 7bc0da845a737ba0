// The words of the library's shared failures, each against the situation that raises it: what failed, where, and what to do there.
#include "library.h"

class TestMessages : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    // What the kernel shows of parallel ports decides the advice for a port that can't be opened.
    void portsShown_data()
    {
        failureColumns();
        const QString modules = "/lib/modules/" + QSysInfo::kernelVersion() + "/kernel/drivers/parport";
        const QString here = QCoreApplication::applicationDirPath().section('/', 0, -2);  // this build tree
        QTest::newRow("no port found") << "" << "open" << ENODEV
                                       << QStringList{"/dev/parport0", "no tiene puerto paralelo", here + "/bin/simulador --con tst_messages",
                                                      "PARPORT=sim " + here + "/bin/tst_messages"}
                                       << false << "/sys/module/parport_pc," + modules;
        QTest::newRow("no driver in the kernel") << "" << "open" << ENOENT << QStringList{"no tiene puerto paralelo"} << false << "";
        QTest::newRow("modules not loaded") << "" << "open" << ENOENT << QStringList{"sudo modprobe parport_pc ppdev"} << false
                                            << modules;
        QTest::newRow("ppdev not loaded") << "" << "open" << ENOENT << QStringList{"modprobe ppdev", "/etc/modules"} << false
                                          << "/proc/sys/dev/parport/parport1";
        QTest::newRow("no port at 888 nor parport0") << "" << "open" << ENOENT << QStringList{"ninguno en la dirección 888", "PARPORT=/dev/parportN"}
                                                     << false << "/proc/sys/dev/parport/parport1,/sys/module/ppdev";
        QTest::newRow("not that port") << "PARPORT=/dev/parport7" << "open" << ENOENT << QStringList{"/dev/parport7", "pero no ese", "compruebe PARPORT"}
                                       << false << "/proc/sys/dev/parport/parport1,/sys/module/ppdev";
        QTest::newRow("an unknown setting") << "PARPORT=lpt1" << "" << 0 << QStringList{"«lpt1»", "PARPORT=sim", "gpio:gpiochip0:17,27"} << false << "";
    }
    void portsShown() { checkFailure(); }
};

QTEST_GUILESS_MAIN(TestMessages)
#include "tst_messages.moc"
