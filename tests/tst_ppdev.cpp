// The ppdev backend through a stand-in kernel: what it asks of the kernel, and each failure.
#include "library.h"

class TestPpdev : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    // The calls the kernel test can't see: the port at 888 among others, or with none there (a card), the first.
    void sequence_data()
    {
        sequenceColumns();
        const QString calls = "open /dev/parport%1,PPEXCL,PPCLAIM,PPDATADIR 0,PPWDATA 0,PPWDATA 3,PPRELEASE,close 7";
        QTest::newRow("card only") << "" << QStringList{"53264\t53272\n"} << calls.arg(0);
        QTest::newRow("the port at 888 second") << "" << QStringList{"632\n", "888\t1912\n"} << calls.arg(1);
    }
    void sequence() { checkSequence(); }

    void failures_data()
    {
        failureColumns();
        const QStringList taken{"otro programa", "rmmod lp"};
        failure("permission", "", "open", EPERM, {"/dev/parport0", "grupo lp", "no hace falta ser root"});
        failure("permission, not a port", "PARPORT=/dev/null", "open", EACCES,
                {"grupo root", "no parece un puerto paralelo", "parportN"});
        failure("busy at open", "PARPORT=/dev/parport3", "open", EBUSY, taken + QStringList{"/dev/parport3"});
        failure("busy at claim", "", "PPCLAIM", EBUSY, taken + QStringList{"/dev/parport0"});
        failure("not a port", "PARPORT=/dev/ttyS0", "PPEXCL", ENOTTY, {"/dev/ttyS0", "no parece un puerto paralelo"});
        failure("lines not driven", "", "PPDATADIR", EIO, {"/dev/parport0", "PPDATADIR"});
        failure("write fails", "", "PPWDATA", EIO, {"/dev/parport0", "PPWDATA"}, "", true);
    }
    void failures() { checkFailure(); }
};

QTEST_GUILESS_MAIN(TestPpdev)
#include "tst_ppdev.moc"
