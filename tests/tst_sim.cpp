// The simulated port: one program at a time, its lock beside the area, and a user's file never written.
#include "library.h"

class TestSim : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    void failures_data()
    {
        failureColumns();
        failure("no such folder", "PARPORT=sim PARPORT_PUBLISH=@/no-such-folder/area", "", ENOENT,
                {"no-such-folder/area.lock", "no existe"});
        failure("another program has it", "PARPORT=sim", "held", EWOULDBLOCK,
                {"lo tiene tst_sim (pid", "PARPORT_PUBLISH=FICHERO"});
    }
    void failures()
    {
        QFETCH(Failure, failure);
        const pid_t holder = failure.failing == "held" ? fork() : -1;
        if (holder == 0)  // a program of its own that holds the port until it is ended
            start("PARPORT=sim"), Out32(888, 0), pause(), _exit(0);
        QTRY_VERIFY(holder < 0 || QFileInfo(area() + ".lock").size() > 0);
        checkFailure();
        if (holder > 0)
            kill(holder, SIGKILL), waitpid(holder, nullptr, 0);
    }

    // A file of the user's that happens to have the lock's name is used as the lock, never written nor removed.
    void usersFileKept()
    {
        start("PARPORT=sim");
        QVERIFY(put(area() + ".lock", "mis notas (pid 5)\n"));
        Out32(888, 3);
        QVERIFY(!Out32Error());
        inpout::reset();
        QCOMPARE(contents(area() + ".lock"), "mis notas (pid 5)\n");
        QFile::remove(area() + ".lock");
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
