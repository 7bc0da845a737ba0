// Direct port I/O through a stand-in kernel: its three registers, and why it is refused.
#include "library.h"

class TestDirect : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    void sequence_data()
    {
        sequenceColumns();
        QTest::newRow("its three registers") << "PARPORT=io" << QStringList()
                                             << "ioperm 888 3 1,outb 0 888,outb 3 888,ioperm 888 3 0";
    }
    void sequence() { checkSequence(); }

    void failures_data()
    {
        failureColumns();
        failure("no direct access", "PARPORT=io", "ioperm", ENOSYS, {"no da acceso directo", "ppdev"});
        failure("not root", "PARPORT=io", "ioperm", EPERM, {"CAP_SYS_RAWIO", "lockdown", "grupo lp"});
    }
    void failures() { checkFailure(); }
};

QTEST_GUILESS_MAIN(TestDirect)
#include "tst_direct.moc"
