// The published area: made whole, used only when it is this user's own, what it takes, and the cursor that reads it.
#include "library.h"
#include "published.h"

#include <csignal>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

class TestPublished : public QObject {
    Q_OBJECT

private slots:
    LIBRARY_TEST_CLEANUP

    // Without room for the area, SIGBUS blocked (the trace not written either), or the area cut short: said; the
    // motor runs on; where an area is made, a dead writer's draft goes and a live one's stays.
    void withoutTheArea_data()
    {
        pairs("what", "said",
              {{"no file may grow", "limit", "ulimit -f"}, {"full shared memory", "full", "Haga sitio en"},
               {"SIGBUS blocked", "sigbus", "SIGBUS"}, {"the area cut short, made again", "cut", "se vuelve a abrir"}});
    }
    void withoutTheArea()
    {
        const auto [what, said] = fetch<QString, QString>("what", "said");
        const QString folder = dir() + "/full";
        if (what == "full" && geteuid() != 0)
            QSKIP("needs root: a small tmpfs in a private mount namespace");
        QVERIFY(QDir(folder).removeRecursively() && QDir().mkpath(folder));
        int status = -1;
        const QString told = stderrOf([&] {
            status = inChild([&] {
                const rlimit none = {0, RLIM_INFINITY};
                sigset_t bus;
                sigemptyset(&bus), sigaddset(&bus, SIGBUS), signal(SIGXFSZ, SIG_DFL);
                if ((what == "limit" && setrlimit(RLIMIT_FSIZE, &none)) ||
                    (what == "sigbus" && pthread_sigmask(SIG_BLOCK, &bus, nullptr)))
                    return 10;
                if (what == "full" && (unshare(CLONE_NEWNS) ||
                                       mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
                                       mount("tmpfs", folder.toLocal8Bit(), "tmpfs", 0, "size=64k")))
                    return std::perror("unshare, mount"), 11;  // "/" not a mount point: a plain chroot
                if (what == "full" && !put(folder + "/fill", QByteArray(56 << 10, 'x')))
                    return 12;
                const QString live = QString("area.nuevo-%1").arg(getppid());  // a live writer's draft
                put(folder + "/area.nuevo-1073741824", ""), put(folder + "/" + live, "");  // and a dead one's
                start("PARPORT=sim PARPORT_PUBLISH=" + folder + "/area" +
                      (what == "sigbus" ? " PARPORT_TRACE=" + folder + "/trace" : ""));
                for (int i = 0; i < 2000; ++i, Out32(888, short(i & 3 && i < 2000)))
                    if (what == "cut" && i == 1 && ::truncate(qgetenv("PARPORT_PUBLISH"), 0) != 0)
                        return 13;
                std::string error, name;
                std::int32_t pid = 0;
                const published::Mapped area = published::mapArea(qgetenv("PARPORT_PUBLISH").toStdString(), error);
                if (what == "cut" && !(area && published::writer(*area, 0, pid, name) && pid == getpid()))
                    return 14;  // published again, as itself
                QStringList left = QDir(folder).entryList({"area", "area.nuevo-*"}, QDir::Files);
                if (what == "cut" || what == "sigbus")  // the area made and cut; or never looked for
                    left = left.filter(live);
                if (QFile::exists(folder + "/trace"))
                    return 3;
                return Out32Error() || inpout::openPort()->last != 0 ? 1 : left == QStringList{live} ? 0 : 2;
            });
        });
        if (status == 11)
            QSKIP(qPrintable("no small tmpfs in a mount namespace of its own (is / a mount point? not in a plain "
                             "chroot): " + told.trimmed()));
        QCOMPARE(status, 0);
        QVERIFY2(told.contains(said), qPrintable(told));
    }

    // Writes are published; a dead program's slot, or one whose pid went to another, is taken over; a new area is 0600.
    void publishes()
    {
        const std::string path = area().toStdString();
        ::unlink(path.c_str());
        QVERIFY(published::areaFrom("a") == "a" && published::areaFrom("0").empty());  // a plain name is a file
        std::string error, name;
        published::Mapped area = published::mapArea(path, error);
        QVERIFY2(area, error.c_str());
        for (published::Writer &writer : area->writers)  // long gone, or a pid since given to another
            writer.pid = writer.ready = &writer == area->writers ? getppid() : 1 << 30;
        start("PARPORT=sim PARPORT_SLOWDOWN=100000");  // the most slowdown, which stretches no gap past 0.1 s
        Out32(888, 3), Out32(888, 2);
        published::Write last;
        QVERIFY(published::last(*area, last) && last.value == 2 && last.address == 888 && area->writes == 2);
        std::int32_t pid = 0;
        QVERIFY(published::writer(*area, 0, pid, name) && pid == getpid() && name == "tst_published");
        inpout::reset();
        QVERIFY(!published::writer(*area, 0, pid, name) && !published::writer(*area, 1, pid, name));  // let go; gone
        struct stat status;
        QVERIFY(stat(path.c_str(), &status) == 0 && (status.st_mode & 0777) == 0600);
    }

    // Only an area that is this user's own and of this layout is used; any other file is left as it was.
    void areaOnlyItsOwn_data()
    {
        pairs("kind", "refusal",  // refusal: "" when used
              {{"empty file", "empty", ""}, {"a folder", "folder", "no se pudo abrir: "},
               {"a user's file", "notes", "no es un área"}, {"symbolic link", "link", "enlace simbólico"},
               {"others may write", "0602", "otros usuarios pueden escribir"},
               {"its group may write", "0620", "otros usuarios pueden escribir"},
               {"another user's", "foreign", "pertenece a otro usuario"},
               {"another layout", "version", "otra versión"}});
    }
    void areaOnlyItsOwn()
    {
        const auto [kind, refusal] = fetch<QString, QString>("kind", "refusal");
        const QString path = dir() + "/other.area", file = kind == "link" ? dir() + "/notes.txt" : path;
        QFile::remove(path), QDir(path).removeRecursively();
        const qsizetype size = sizeof(published::Area);
        const QByteArray head = kind == "version" ? QByteArray::fromHex("016d6f746f7061730100") : "mis notas\n";
        const QByteArray before = kind == "empty" ? QByteArray() : head.leftJustified(size, '\0');  // version 1, a note
        QVERIFY(kind == "folder" ? QDir().mkdir(path) : put(file, before));
        QVERIFY(kind != "link" || QFile::link(file, path));
        QVERIFY(!kind.startsWith('0') || ::chmod(path.toLocal8Bit(), kind.toUInt(nullptr, 8)) == 0);
        if (kind == "foreign" && (geteuid() != 0 || ::chown(path.toLocal8Bit(), 65534, 65534) != 0))
            QSKIP("needs root to give a file to another user");
        std::string error;
        published::Mapped area = published::mapArea(path.toStdString(), error);
        QCOMPARE(bool(area), refusal.isEmpty());
        QVERIFY2(QString::fromStdString(error).contains(refusal) && (!area || error.empty()), error.c_str());
        const QFileInfo info(path);  // this user's alone: 0600
        const auto own = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
        QVERIFY(area ? area->header.magic == published::kMagic && info.size() == size && info.permissions() == own
                     : (kind == "folder" || contents(file) == before) && QString::fromStdString(error).contains(path));
    }

    // Writes 1, 2, … around a cursor's placing, a fault after: what it yields ("|": waited), lost, late, before.
    void cursor_data()
    {
        pairs("script", "seen",  // script: before, since, after, fault
              {{"the present", "3 now 2", "4 5 before 3"}, {"since a time", "5 3 0", "3 4 5 before 2"},
               {"the ring lost the start", "32778 0 0", "11..32778 (32768) late"},
               {"overrun", "1 now 32868", "102..32869 (32768) lost 100 before 1"},
               {"an entry being written", "1 now 2 writing", "| 2 3 before 1"},
               {"the newest being written", "3 now 0 newest", "before 2"},
               {"overwritten while read", "1 now 2 overwritten", "3 lost 1 before 1"},
               {"an area made anew", "3 now 0 anew", "4 5 before 3"}});
    }
    void cursor()
    {
        QFETCH(QString, script);
        const QStringList step = script.split(' ');
        const QString fault = step.value(3);
        auto area = std::make_unique<published::Area>();
        std::uint64_t time = 0;
        const auto publish = [&](int count) {
            for (int i = 0; i < count; ++i, ++time)
                published::publish(*area, time + 1, 888, short(time & 3));
        };
        const int before = step[0].toInt();
        publish(before);
        area->ring[(before - 1) % published::kRing].seq = fault == "newest" ? 0 : before;
        published::Cursor cursor(*area, step[1] == "now" ? published::Cursor::kPresent : step[1].toULongLong());
        publish(step[2].toInt());
        std::atomic<std::uint64_t> &first = area->ring[before % published::kRing].seq;
        first = fault == "writing" ? 0 : fault == "overwritten" ? first + published::kRing : first.load();
        if (fault == "anew")
            area->writes = 0, area->ring[0].seq = area->ring[1].seq = area->ring[2].seq = 0, publish(2);
        QStringList seen;
        published::Write write;
        const auto drain = [&] {
            for (; cursor.next(write); seen << QString::number(write.time))
                QVERIFY(write.address == 888 && write.value == short((write.time - 1) & 3));  // read whole
        };
        drain();
        if (fault == "writing")
            seen << "|", first = before + 1, drain();
        if (seen.size() > 5)
            seen = QStringList{QStringLiteral("%1..%2 (%3)").arg(seen.first(), seen.last()).arg(seen.size())};
        const bool known = cursor.before(write);
        seen << (cursor.overrun() ? "lost " + QString::number(cursor.overrun()) : "")
             << (cursor.lateStart() ? "late" : "") << (known ? "before " + QString::number(write.time) : "");
        QTEST(seen.filter(QRegularExpression(".")).join(' '), "seen");
        QCOMPARE(published::last(*area, write) ? write.time : 0, fault == "newest" ? 2 : time);
    }
};

QTEST_GUILESS_MAIN(TestPublished)
#include "tst_published.moc"
