// What the viewer knows, without a window: its figures as tables, the reader and the capture as they
// see the ring, where a capture may go, and a session following writes as a person would watch them.
#include "session.h"
#include "vcd.h"

#include <QProcess>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace simulador;

// Steps in a value change dump as a decoder counts them: the pulse line's ('!') rising edges after
// the state its first record sets.
static int risingEdges(const std::string &dump)
{
    int level = -1, edges = 0;
    for (const QString &line : QString::fromStdString(dump).split('\n'))
        if (line.size() == 2 && line.endsWith('!'))
            edges += level == 0 && line[0] == '1', level = line[0] == '1';
    return edges;
}

// A capture of a full turn right, as sigrok-cli's stepper motor decoder reads it at the bench: the
// position between two steps, 95 of them for 96 steps, counting down while the direction line is low.
static void decodesFullTurn(const QString &path)
{
    if (QStandardPaths::findExecutable("sigrok-cli").isEmpty())
        QSKIP("sigrok-cli is not installed");
    QProcess sigrok;
    sigrok.start("sigrok-cli", {"-I", "vcd:downsample=1000", "-i", path, "-P",
                                "stepper_motor:step=D0_pulso:dir=D1_direccion", "-A", "stepper_motor=position"});
    QVERIFY(sigrok.waitForFinished(60000));
    const QStringList positions = QString(sigrok.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QVERIFY(positions.size() == 95 && positions.last() == "stepper_motor-1: -95 steps");
}

class TestSession : public QObject {
    Q_OBJECT

    published::Mapped area;
    MappedArea viewed;  // the same area, as a session takes it
    const QString dir = QCoreApplication::applicationDirPath();
    const std::string path = dir.toStdString() + "/session.area";

    void freshArea(bool alsoViewed = true)  // else the session finds it by itself
    {
        ::unlink(path.c_str());
        std::string error;
        area = published::mapArea(path, error);
        QVERIFY2(area && (!alsoViewed || viewed.map(path, error)), error.c_str());
    }
    // Writes of the digits given, `step` ns apart after `from`; a space is a silence of a second.
    unsigned long long write(const QString &values, unsigned long long from = 1000, unsigned long long step = 1000)
    {
        for (QChar v : values)
            if (v == ' ')
                from += kSecond;
            else
                published::publish(*area, from += step, 888, short(v.digitValue()));
        return from;
    }

private slots:
    void init() { QCoreApplication::setOrganizationName("motorpasos"), qunsetenv("PARPORT_TRACE"); }

    // Speed over the last half second and its sense, from steps noted <ms><sense> in the order
    // taken, each given a time by takenTime().
    void speed_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("now");  // ms
        QTest::addColumn<QString>("shown");
        QTest::newRow("older ones don't count") << "100+ 700+" << 700 << "2 horario";
        QTest::newRow("half a second ago counts") << "200+ 300+" << 700 << "4 horario";
        QTest::newRow("opposite ones cancel") << "100+ 200-" << 300 << "0 parado";
        QTest::newRow("counter-clockwise") << "100- 200-" << 300 << "-4 antihorario";
        QTest::newRow("one stamped in the future counts now") << "300+ 900+" << 700 << "4 horario";
        QTest::newRow("one stamped before the previous") << "600+ 100+" << 700 << "4 horario";
    }
    void speed()
    {
        QFETCH(QString, steps);
        QFETCH(int, now);
        std::deque<Step> made;
        for (const QString &step : steps.split(' ', Qt::SkipEmptyParts))
            made.push_back({takenTime(step.chopped(1).toULongLong() * 1000000, made.empty() ? 0 : made.back().time,
                                      now * 1000000ULL),
                            step.endsWith('+') ? 1 : -1});
        const double perSecond = stepsPerSecond(made, now * 1000000ULL);
        QTEST(QString::number(perSecond) + " " + senseName(perSecond), "shown");
        Board board;  // and the shaft's mark two steps counter-clockwise of its start
        for (int value : {0, 2, 3, 2, 3})
            board.feed(value);
        QCOMPARE(board.angle(), 352.5);
    }

    // Gaps written "gap" or "gap*count"; percentiles by nearest rank, so each is a gap that happened.
    void regular_data()
    {
        QTest::addColumn<QString>("gaps");
        QTest::addColumn<QString>("shown");  // median p99 p99.9 longest, over twice the median, verdict
        QTest::newRow("none") << "" << "0 0 0 0 0 0";
        QTest::newRow("unsorted") << "30 10 20" << "20 30 30 30 0 0";
        QTest::newRow("twice is not over") << "10 10 20 21" << "10 21 21 21 1 0";
        QTest::newRow("one late in 1000") << "10*999 1000" << "10 10 10 1000 1 0";
        QTest::newRow("p99.9 at 4x") << "10*998 40 40" << "10 10 40 40 2 0";
        QTest::newRow("p99.9 over 4x") << "10*989 15*9 50 100" << "10 15 50 100 2 1";
    }
    void regular()
    {
        QFETCH(QString, gaps);
        std::vector<unsigned long long> list;
        for (const QString &gap : gaps.split(' ', Qt::SkipEmptyParts))
            list.insert(list.end(), qMax(1, gap.section('*', 1).toInt()), gap.section('*', 0, 0).toULongLong());
        const Regularity r = regularity(list);
        QTEST(QString("%1 %2 %3 %4 %5 %6").arg(r.median).arg(r.p99).arg(r.p999).arg(r.longest).arg(r.overTwice)
                  .arg(r.irregular()), "shown");
    }

    // The diagram's frame and a capture's at `now`, from writes at <µs> (s: a step), and the move's rate.
    void frames_data()
    {
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("now");   // µs
        QTest::addColumn<int>("span");  // µs, 0: all
        QTest::addColumn<QString>("shown");
        QString long_;
        for (int t = 0; t <= 2500000; t += 100000)
            long_ += QString::number(t) + "s ";
        const QString move = "1000s 2000s ";
        QTest::newRow("no move yet: the span up to now") << "100 200" << 300000 << 1000 << "299000-300000 299000-300000 live 0";
        QTest::newRow("still: the move, a tenth either side") << "1000s 1500 2000s" << 202000 << 1000 << "900-2100 900-2100 held 2000";
        QTest::newRow("a silence ends a move") << "1000s 201000s 202000s" << 500000 << 1000 << "200900-202100 200900-202100 held 2000";
        QTest::newRow("a write with no step after it") << move + "300000" << 600000 << 1000 << "900-2100 900-2100 held 2000";
        QTest::newRow("a stepless write keeps it held") << move + "300000" << 400000 << 1000 << "900-2100 900-2100 held 2000";
        QTest::newRow("stepless ones after two silences") << move + "300000 600000" << 700000 << 1000 << "900-2100 900-2100 held 2000";
        QTest::newRow("a new move with a step") << move + "300000s" << 400000 << 1000 << "399000-400000 399000-400000 live 0";
        QTest::newRow("saving all: the move shown") << "1000s 2000s" << 300000 << 0 << "900-2100 0-300000 held 2000";
        QTest::newRow("one step: 10 µs either side") << "5000s" << 300000 << 1000 << "4990-5010 4990-5010 held 0";
        QTest::newRow("longer than the diagram keeps") << long_ << 3000000 << 1000 << "300000-2700000 300000-2700000 held 10.4";
    }
    void frames()
    {
        QFETCH(QString, writes);
        QFETCH(int, now);
        QFETCH(int, span);
        Moves moves;
        for (const QString &w : writes.split(' ', Qt::SkipEmptyParts))
            moves.feed(w.chopped(w.endsWith('s')).toULongLong() * 1000, w.endsWith('s'));
        const Frame f = frameAt(moves, now * 1000ULL, span * 1000ULL);
        QTEST(QString("%1-%2 %3-%4 %5 %6").arg(f.start / 1000).arg(f.end / 1000).arg(f.from / 1000).arg(f.to / 1000)
                  .arg(f.held ? "held" : "live").arg(moves.last().stepsPerSecond()), "shown");
    }

    // The reader takes what comes after it was made, and who has the port; when it falls behind it
    // loses the oldest writes, and only those; a capture says whether the ring lost any of its span.
    void reader()
    {
        freshArea();
        const int slot = published::attach(*area, "vueltas");
        PortReader reader(*area);
        auto taken = [&] {
            QStringList out;
            for (const published::Write &w : reader.take())
                out << QString("%1@%2").arg(w.address == 888 ? w.value : -1).arg(w.time);
            for (const Program &program : reader.programs())
                out << QString::fromStdString(program.name) + (program.pid == getpid() ? "" : "?");
            return out.join(' ');
        };
        write("0");
        QCOMPARE(taken(), "0@2000 vueltas");
        write("1032", 4000);
        QCOMPARE(taken(), "1@5000 0@6000 3@7000 2@8000 vueltas");
        QVERIFY(!capture(*area, 0, ~0ULL).lost);  // a ring not yet full has lost nothing
        published::detach(*area, slot);
        QCOMPARE(taken(), "");
        QCOMPARE(published::attach(*area, "rotacion"), slot);
        for (unsigned long long i = 0; i < published::kRing + 100; ++i)
            published::publish(*area, i, 888, short(i & 3));
        const std::vector<published::Write> got = reader.take();
        QVERIFY(got.size() == published::kRing && got.front().time == 100 && reader.lost() == 100);
        const Capture all = capture(*area, 0, ~0ULL), recent = capture(*area, published::kRing, ~0ULL);
        QVERIFY(all.writes.size() == published::kRing && all.lost && recent.writes.size() == 100 && !recent.lost);
        QVERIFY(dump(recent, "").find("$enddefinitions $end\n#0\n1!\n1\"\n#1\n0!\n0\"\n") != std::string::npos);
    }

    // A capture's times, from writes noted <ns>:<value>, taken at 50 µs from 0 (from 950: the
    // lines as the write before set them, 10 µs before its first).
    void dumpTimes_data()
    {
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("from");
        QTest::addColumn<QString>("times");
        QTest::newRow("two writers out of order") << "1000:1 900:0 1100:1" << 0 << "#0 #1 #100";
        QTest::newRow("after now: left out") << "1000:1 2000:0 90000:1" << 0 << "#0 #1000";
        QTest::newRow("the lines before") << "800:2 1000:3 2000:2" << 950 << "#0 #200 #1200";
        QTest::newRow("10 µs before") << "800:2 20000:3" << 950 << "#0 #10000";
    }
    void dumpTimes()
    {
        QFETCH(QString, writes);
        QFETCH(int, from);
        freshArea();
        for (const QString &w : writes.split(' '))
            published::publish(*area, w.section(':', 0, 0).toULongLong(), 888, short(w.section(':', 1).toInt()));
        const QString dumped = QString::fromStdString(dump(capture(*area, from, 50000), ""));
        QTEST(dumped.split('\n').filter(QRegularExpression("^#")).join(' '), "times");
    }

    // The same writes, dumped by the library as it traces them and captured by the viewer from the
    // move it holds (or all the ring holds), decode to the same steps. Digits 17 µs apart, a space a second.
    void decodes_data()
    {
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("span");
        QTest::addColumn<int>("steps");
        QTest::newRow("vueltas right") << "0 " + QString("10").repeated(96) + "0" << 1 << 96;
        QTest::newRow("vueltas left") << "0 " + QString("32").repeated(96) + "0" << 1 << 96;
        QTest::newRow("rotacion right") << "0 " + QString("23").repeated(200) << 2 << 200;
        QTest::newRow("rotacion left, all") << "0 " + QString("01").repeated(200) << 4 << 200;
        QTest::newRow("direction set apart") << "0 2 " + QString("32").repeated(9) << 1 << 9;
    }
    void decodes()
    {
        QFETCH(QString, writes);
        QFETCH(int, span);
        freshArea();
        Session session(std::move(viewed), 0);
        session.setSpan(span);
        std::string library = vcd::header("", "");
        vcd::Lines lines;
        char text[vcd::kWriteMax];
        unsigned long long time = kSecond;
        for (QChar c : writes) {
            time = write(c, time, 17000);
            if (c != ' ')
                library.append(text, vcd::write(text, lines, time - kSecond - 17000, c.digitValue()));
        }
        session.advance(time + kSecond);
        const Capture captured = session.capture(time + kSecond);
        QCOMPARE(risingEdges(dump(captured, "")), risingEdges(library));
        QTEST(risingEdges(library), "steps");
    }

    // Where a capture may go: never over what the programs use, nor anything but an ordinary file; a
    // file is the same only on the same device. Files noted by name, each its own (device, inode).
    void refused_data()
    {
        QTest::addColumn<int>("writes");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("refusal");
        QTest::newRow("a new file") << 5 << "" << int(Refusal::None);
        QTest::newRow("an ordinary file") << 5 << "notes" << int(Refusal::None);
        QTest::newRow("nothing captured") << 0 << "" << int(Refusal::NothingCaptured);
        QTest::newRow("a folder, a FIFO, a device") << 5 << "other" << int(Refusal::NotAFile);
        QTest::newRow("the area") << 5 << "area" << int(Refusal::TheArea);
        QTest::newRow("the trace") << 5 << "trace" << int(Refusal::TheTrace);
        QTest::newRow("the port's lock") << 5 << "lock" << int(Refusal::ALock);
        QTest::newRow("the viewers' lock") << 5 << "visor" << int(Refusal::ALock);
        QTest::newRow("the area's inode elsewhere") << 5 << "moved" << int(Refusal::None);
    }
    void refused()
    {
        QFETCH(int, writes);
        QFETCH(QString, target);
        const QStringList names = {"area", "trace", "lock", "visor", "notes"};
        const auto file = [&](const QString &name) {
            return name.isEmpty() ? Target{}
                   : name == "other" ? Target{Target::Other, {{1, 9}, 0}}
                   : name == "moved" ? Target{Target::Regular, {{2, 10}, 0}}
                                     : Target{Target::Regular, {{1, ino_t(10 + names.indexOf(name))}, 0}};
        };
        const Kept kept{file("area"), file("trace"), file("lock"), file("visor")};
        QTEST(int(refusal(std::size_t(writes), file(target), kept)), "refusal");
    }

    // Saving refuses, without blocking, what the table above refuses, found as the session finds them
    // (the trace from PARPORT_TRACE); a write that fails (on a file-size limit) leaves the capture
    // saved there before. Each is left as it was.
    void saveRefused_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("says");
        QTest::newRow("a FIFO") << "fifo" << "no es un fichero normal";
        QTest::newRow("the area") << "session.area" << "es el área de publicación";
        QTest::newRow("the trace") << "traza.vcd" << "es la traza";
        QTest::newRow("the port's lock") << "session.area.lock" << "es un cerrojo";
        QTest::newRow("a file too large to write") << "antes.vcd" << "No se pudo guardar";
    }
    void saveRefused()
    {
        QFETCH(QString, target);
        QFETCH(QString, says);
        freshArea();
        write("0123", 10 * kSecond - 5000);
        Session session(std::move(viewed), 0);
        session.setSpan(4);
        const QString file = dir + "/" + target;
        QFile::remove(dir + "/fifo");
        for (const char *kept : {"/session.area.lock", "/traza.vcd"})
            QFile(dir + kept).open(QIODevice::WriteOnly);
        qputenv("PARPORT_TRACE", (dir + "/traza.vcd").toLocal8Bit());
        QVERIFY(target == "fifo" ? mkfifo(qPrintable(file), 0600) == 0
                                 : target != "antes.vcd" || session.save(file, 10 * kSecond).ok);
        const auto contents = [&] {
            QFile f(file);
            return target == "fifo" || !f.open(QIODevice::ReadOnly) ? "" : f.readAll();
        };
        const QByteArray before = contents();
        rlimit usual, small;
        getrlimit(RLIMIT_FSIZE, &usual);
        small = {target == "antes.vcd" ? 40 : usual.rlim_cur, usual.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
        setrlimit(RLIMIT_FSIZE, &small);
        const Session::Saved saved = session.save(file, 10 * kSecond);
        setrlimit(RLIMIT_FSIZE, &usual);
        QVERIFY2(!saved.ok && saved.message.startsWith("No se") && saved.message.contains(says), qPrintable(saved.message));
        QCOMPARE(contents(), before);
    }

    // A session follows a turn as a person watches it: the board and its figures; once still, the turn
    // held with its figures, still after a stepless write (a program's last 0) seconds later, saved whole
    // as a logic analyser reads it; frozen as a new move begins; then its area deleted, made anew and
    // cut short under it.
    void follows()
    {
        freshArea();
        const unsigned long long now = 10 * kSecond;
        Session session(std::move(viewed), now - 5 * kSecond);
        QVERIFY(programsLine(session).startsWith("Ningún programa"));
        const int slot = published::attach(*area, "vueltas");
        write("2", now - 3 * kSecond);  // before the span of the capture below
        write("0" + QString("10").repeated(96) + "0", now - 200000000, 1000000);
        session.advance(now);
        QCOMPARE(positionLine(session), "Posición: 96 pasos (1,00 vueltas)");
        QCOMPARE(speedLine(session), "Velocidad (media de 0,5 s): 192 pasos/s, 120,0 rpm");  // 96 in the last 0,5 s
        QCOMPARE(senseLine(session), "Sentido: horario");
        const QString gaps = ": mediana 1,00 ms; 99 %: 1,00 ms (1,0×); 99,9 %: 1,00 ms (1,0×); el más largo 1,00 ms "
                             "(1,0×); 0 de 193 pasan del doble de la mediana";
        QCOMPARE(figuresLine(session), "Huecos entre escrituras en el último segundo" + gaps);
        const QString file = dir + "/sesion.vcd";
        for (unsigned long long at : {now + kStill, now + 3 * kSecond + kStill / 2}) {
            write(at > now + kStill ? "0" : "", now + 3 * kSecond);
            session.advance(at);
            QCOMPARE(moveLine(session), "Último movimiento: 96 pasos en 193,00 ms, 497 pasos/s");
            QCOMPARE(figuresLine(session), "Huecos entre escrituras en el último segundo del último movimiento" + gaps);
            QCOMPARE(caption(session), "motor parado: su último movimiento (el diagrama abarca 231,60 ms)");
            const Frame &shown = session.shown();
            const auto levels = columnLevels(session.changes(), session.valueBefore(), shown.end, 231600000, 100, 0);
            QCOMPARE(std::count(levels.begin(), levels.end(), 3), 84);  // columns with a pulse
            QCOMPARE(session.save(file, at).message, "Guardadas 194 escrituras en " + file + ": el último movimiento, "
                     "pues el motor está parado. El anillo no había perdido ninguna del intervalo.");
        }
        decodesFullTurn(file);

        // Frozen, it holds as a step stamped ahead (taken as now) begins a move, in the sense now chosen.
        session.setFrozen(true);
        session.setLowSense(1);
        write("1", now + 5 * kSecond);
        session.advance(now + 4 * kSecond);
        QVERIFY(speedLine(session).startsWith("Velocidad (media de 0,5 s): 2 pasos/s") && session.board().pulse());
        QVERIFY(session.board().position() == 95 && figuresLine(session).isEmpty());
        QCOMPARE(caption(session), "congelado; motor parado: su último movimiento (el diagrama abarca 231,60 ms)");
        published::detach(*area, slot);

        // The area deleted and made anew, where another program writes: read within a second.
        area = {};
        freshArea(false);
        QCOMPARE(published::attach(*area, "rotacion"), 0);
        write("0101", now + 4 * kSecond + kSecond / 2, 1);  // two steps
        session.advance(now + 5 * kSecond + kSecond / 10);
        QVERIFY(programsLine(session).contains("se ha vuelto a abrir"));
        QCOMPARE(session.board().position(), 93L);
        session.advance(now + 6 * kSecond + kSecond / 5);
        QVERIFY(programsLine(session).startsWith("Puerto abierto por rotacion"));
        // Cut short under the viewer (truncate -s 0): it reads zeros, then maps it again.
        QCOMPARE(::truncate(path.c_str(), 0), 0);
        session.advance(now + 6 * kSecond + kSecond / 4);
        QVERIFY(!senseLine(session).contains("perdidas"));  // an area made anew loses nothing
        std::string error;
        QVERIFY(published::mapArea(path, error));  // and taken over in place before the viewer looks
        session.advance(now + 7 * kSecond + kSecond / 2);
        QVERIFY(programsLine(session).contains("se ha vuelto a abrir"));
    }

    // Options outside their choices (a hand-edited settings file) are taken as the nearest.
    void options()
    {
        freshArea();
        Session session(std::move(viewed), 0);
        session.setEdge(5), session.setLowSense(-2), session.setSpan(99);
        QCOMPARE(QString("%1%2%3").arg(session.edge()).arg(session.lowSense()).arg(session.span()), "104");
        session.setSpan(-1);
        QCOMPARE(session.span(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
