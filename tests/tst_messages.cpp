// The library's shared failures, each against the situation that raises it: what failed, where, what to do.
#include "library.h"

class TestMessages : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    // What the kernel shows of parallel ports decides the advice for a port that can't be opened; a setting refused.
    void failures_data()
    {
        failureColumns();
        const QString modules = "/lib/modules/" + QSysInfo::kernelVersion() + "/kernel/drivers/parport";
        const QString here = dir().section('/', 0, -2), ppdev = "/proc/sys/dev/parport/parport1,/sys/module/ppdev";
        failure("no port found", "", "open", ENODEV, {"/dev/parport0", "no tiene puerto paralelo",
                here + "/bin/simulador --con tst_messages", "PARPORT=sim " + here + "/bin/tst_messages"},
                "/sys/module/parport_pc," + modules);
        failure("no driver in the kernel", "", "open", ENOENT, {"no tiene puerto paralelo"});
        failure("modules not loaded", "", "open", ENOENT, {"sudo modprobe parport_pc ppdev"}, modules);
        failure("ppdev not loaded", "", "open", ENOENT, {"modprobe ppdev", "/etc/modules"},
                "/proc/sys/dev/parport/parport1");
        failure("no port at 888 nor parport0", "", "open", ENOENT,
                {"ninguno en la dirección 888", "PARPORT=/dev/parportN"}, ppdev);
        failure("not that port", "PARPORT=/dev/parport7", "open", ENOENT,
                {"/dev/parport7", "pero no ese", "compruebe PARPORT"}, ppdev);
        failure("an unknown setting", "PARPORT=lpt1", "", 0, {"«lpt1»", "PARPORT=sim", "gpio:gpiochip0:17,27"});
        // A trace that can't be opened says why, and what to do about it, at the first write.
        failure("a trace whose folder is missing", "PARPORT=sim PARPORT_TRACE=@/no-such-folder/x.trace", "", ENOENT,
                {"no-such-folder/x.trace", "La carpeta no existe"});
        failure("a trace that is a folder", "PARPORT=sim PARPORT_TRACE=@", "", EISDIR, {"es una carpeta"});
        failure("a trace in use", "PARPORT=sim PARPORT_TRACE=@/taken.trace", "flock", 0,
                {"taken.trace", "ya lo está usando otro programa"});
        for (const QString bad : {"PARPORT_SLOWDOWN=0.99", "PARPORT_MAXRATE=2,5"})  // the settings read: tst_traffic
            failure(qPrintable(bad), "PARPORT=sim " + bad, "", 0,
                    {QString(bad).replace("=", " vale «") + "»", "100000"});
    }
    void failures() { checkFailure(); }
};

QTEST_GUILESS_MAIN(TestMessages)
#include "tst_messages.moc"
