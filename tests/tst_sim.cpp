// The simulated port: one program at a time, its lock beside the area, and a user's file never written.
#include "library.h"
#include "published.h"

class TestSim : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    void failures_data()
    {
        failureColumns();
        QTest::newRow("no such folder") << "PARPORT=sim PARPORT_PUBLISH=@/no-such-folder/area" << "" << ENOENT
                                        << QStringList{"no-such-folder/area.lock", "no existe"} << false << "";
        QTest::newRow("another program has it") << "PARPORT=sim" << "held" << EWOULDBLOCK
                                                << QStringList{"lo tiene tst_sim (pid", "PARPORT_PUBLISH=FICHERO"} << false << "";
    }
    void failures()
    {
        QFETCH(QString, failing);
        const pid_t holder = failing == "held" ? fork() : -1;
        if (holder == 0) {  // a program of its own that holds the port until it is ended
            start("PARPORT=sim");
            Out32(888, 0);
            pause();
            _exit(0);
        }
        QTRY_VERIFY(failing != "held" || QFileInfo(area() + ".lock").size() > 0);
        checkFailure();
        if (holder > 0)
            kill(holder, SIGKILL), waitpid(holder, nullptr, 0);
    }

    // A file of the user's that happens to have the lock's name is used as the lock, never written nor removed.
    void usersFileKept()
    {
        start("PARPORT=sim");
        QFile notes(area() + ".lock");
        QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("mis notas (pid 5)\n") && (notes.close(), true));
        Out32(888, 3);
        QVERIFY(!Out32Error());
        inpout::reset();
        QCOMPARE(contents(notes.fileName()), "mis notas (pid 5)\n");
        notes.remove();
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
