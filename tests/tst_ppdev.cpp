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
        QTest::newRow("card only") << "" << QStringList{"53264\t53272\n"}
                                   << "open /dev/parport0,PPEXCL,PPCLAIM,PPDATADIR 0,PPWDATA 0,PPWDATA 3,PPRELEASE,close 7";
        QTest::newRow("the port at 888 second") << "" << QStringList{"632\n", "888\t1912\n"} << "open /dev/parport1,PPEXCL,PPCLAIM,PPDATADIR 0,PPWDATA 0,"
                                                              "PPWDATA 3,PPRELEASE,close 7";
    }
    void sequence() { checkSequence(); }

    void failures_data()
    {
        failureColumns();
        const QStringList taken{"otro programa", "rmmod lp"};
        QTest::newRow("permission") << "" << "open" << EPERM
                                    << QStringList{"/dev/parport0", "grupo lp", "no hace falta ser root"} << false << "";
        QTest::newRow("permission, not a port") << "PARPORT=/dev/null" << "open" << EACCES
                                                << QStringList{"grupo root", "no parece un puerto paralelo", "parportN"}
                                                << false << "";
        QTest::newRow("busy at open") << "PARPORT=/dev/parport3" << "open" << EBUSY
                                      << (QStringList(taken) << "/dev/parport3") << false << "";
        QTest::newRow("busy at claim") << "" << "PPCLAIM" << EBUSY << (QStringList(taken) << "/dev/parport0") << false << "";
        QTest::newRow("not a port") << "PARPORT=/dev/ttyS0" << "PPEXCL" << ENOTTY
                                    << QStringList{"/dev/ttyS0", "no parece un puerto paralelo"} << false << "";
        QTest::newRow("lines not driven") << "" << "PPDATADIR" << EIO << QStringList{"/dev/parport0", "PPDATADIR"} << false << "";
        QTest::newRow("write fails") << "" << "PPWDATA" << EIO << QStringList{"/dev/parport0", "PPWDATA"} << true << "";
    }
    void failures() { checkFailure(); }
};

QTEST_GUILESS_MAIN(TestPpdev)
#include "tst_ppdev.moc"
