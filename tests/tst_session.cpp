// What the viewer knows, without a window, tested without one: the session fed writes and ticks (its figures,
// frames and motor), the area it is fed from, a capture and where it may go.
#include "capture.h"
#include "feed.h"
#include "following.h"
#include "session.h"
#include "table.h"
#include "texts.h"
#include "tracefile.h"
#include "vcd.h"

#include <QProcess>
#include <csignal>
#include <fcntl.h>
#include <numeric>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace simulador;
using traffic::PortWrite;

// Steps as a decoder counts them in a value change dump: changes of the pulse line ('!') to 1 after the first.
static int risingEdges(const std::string &dump)
{
    const QString text = QString::fromStdString(dump);
    return int(text.count("\n1!\n") - text.contains("$end\n#0\n1!\n"));
}

class TestSession : public QObject {
    Q_OBJECT

    published::Mapped area;
    MappedArea viewed;  // the same area, as a viewer takes it
    const QString dir = QCoreApplication::applicationDirPath();
    const std::string path = dir.toStdString() + "/session.area";

    void freshArea(bool alsoViewed = true)  // else the viewer finds it by itself
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
            if ((from += v == ' ' ? kSecond : step) && v != ' ')
                published::publish(*area, from, 888, short(v.digitValue()));
        return from;
    }
    // A frame of the viewer's at `now`: the writes read from the area fed to the session, then its tick.
    static void frame(AreaFeed &feed, Session &session, unsigned long long now)
    {
        for (const published::Write &write : feed.take(now))
            session.feed(write);
        session.tick(now);
    }
    // What the capture of `session` at `now` makes, saved to `file` as the window saves it.
    static Saved saveAt(const AreaFeed &feed, const Session &session, const QString &file, unsigned long long now)
    {
        const Asked asked = session.asked(now);
        return save(file, capture(feed.area().area(), asked.from, asked.to), asked, keptFiles(feed.area(), nullptr));
    }

private slots:
    // Speed over the last half second and its sense, from steps <ms><sense> in the order taken (takenTime()).
    void speed_data()
    {
        columns<QString, int, QString>("steps", "now", "shown");  // now in ms
        QTest::newRow("older ones don't count") << "100+ 700+" << 700 << "2 horario";
        QTest::newRow("half a second ago counts") << "200+ 300+" << 700 << "4 horario";
        QTest::newRow("opposite ones cancel") << "100+ 200-" << 300 << "0 parado";
        QTest::newRow("counter-clockwise") << "100- 200-" << 300 << "-4 antihorario";
        QTest::newRow("one stamped before the previous") << "600+ 100+" << 700 << "4 horario";
    }
    void speed()
    {
        const auto [steps, now] = fetch<QString, int>("steps", "now");
        std::deque<Step> made;
        for (const QString &step : steps.split(' ', Qt::SkipEmptyParts))
            made.push_back({takenTime(step.chopped(1).toULongLong() * 1000000, made.empty() ? 0 : made.back().time,
                                      now * 1000000ULL), step.endsWith('+') ? 1 : -1});
        const double perSecond = stepsPerSecond(made, now * 1000000ULL);
        QTEST(QString::number(perSecond) + " " + senseName(perSecond), "shown");
    }

    // What the motor chosen (kept within its choices) makes of writes <gap> µs apart, or of the README's
    // full-speed turn of vueltas (docs/giro.trace) at its own times, on the board's edge chosen after the model
    // was built: its name (!: refused), the hand the pulses move, the shaft's turns, and the line once the move has
    // ended (while it went on, whether it lost steps). The start rates and the rates advised are the README's; the
    // slowdown is the smallest N that still makes it follow the turn when every gap is a third shorter.
    void motor_data()
    {
        columns<QString, int, QString, int, QString>("motor", "edge", "writes", "gap", "shown");
        const QString turn = "0" + QString("10").repeated(96) + "0", follows = "El motor sigue a los pulsos\\.";
        const QString lost = "El motor perdió %1 pasos en el último movimiento y va %2 pasos por detrás\\. Para que lo "
                             "siga en cualquier máquina: PARPORT_MAXRATE=%3 \\(este motor arranca hasta %4 "
                             "pasos/s\\)\\. Sólo en esta máquina y con su carga de ahora: el PARPORT_SLOWDOWN con que "
                             "iba, por (\\d+)\\.";
        QTest::newRow("a slow turn") << "48pasos" << 0 << turn << 1000 << "48pasos 0 1,00 " + follows;
        QTest::newRow("at full speed") << "48pasos" << 0 << "giro" << 0
                                       << "48pasos 0 1,00 " + lost.arg(96).arg(96).arg(290).arg(938);
        QTest::newRow("by name, any case") << "NEMA17" << 0 << "giro" << 0
                                           << "nema17 86\\.4 0,24 " + lost.arg("\\d+", "\\d+").arg(980).arg(2995);
        QTest::newRow("no such name") << "48 pasos" << 0 << "02323" << 1000 << "48pasos 352\\.5 -0,02 " + follows;
        QTest::newRow("no such file") << "falta.ini" << 0 << "010101" << 1000 << "48pasos! 11\\.25 0,03 " + follows;
        QTest::newRow("the falling edge") << "" << 1 << "010101" << 1000 << "48pasos 7\\.5 0,02 " + follows;
    }
    void motor()
    {
        const auto [motor, edge, writes, gap, shown] = fetch<QString, int, QString, int, QString>("motor", "edge",
                                                                                             "writes", "gap", "shown");
        std::vector<PortWrite> fed;
        traffic::WriteLog giro;
        QVERIFY(writes != "giro" || traffic::readTraffic(DOCS "/giro.trace", giro).empty());
        traffic::WriteLog::Reader read(giro);
        for (PortWrite write{}; read.next(write);)
            fed.push_back(write);
        for (int i = 0; writes != "giro" && i < writes.size(); ++i)
            fed.push_back({kSecond + i * gap * 1000ULL, writes[i].digitValue()});
        Session session({}, 0);
        const bool refused = !session.setMotor(motor.toStdString()).empty();
        session.setEdge(edge);
        for (const PortWrite &write : fed)
            session.feed({write.time, 888, short(write.value)});
        session.tick(fed.back().time);
        const QString during = motorLine(session);
        const Follower &follower = session.follower();
        const auto answered = [&] {
            session.tick(fed.back().time + kSecond);
            return follower.following().advice.slowdown >= 0 && follower.following().advice.maxRate > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(answered(), 60000);  // worked out on threads of their own
        const QString turns = QRegularExpression("(-?\\d+,\\d\\d) vueltas").match(positionLine(session)).captured(1);
        const QString got = QString("%1%2 %3 %4 %5").arg(follower.choice().c_str(), refused ? "!" : "")
                                .arg(follower.commandedDegrees()).arg(turns, motorLine(session));
        const auto match = QRegularExpression(QRegularExpression::anchoredPattern(shown)).match(got);
        QVERIFY2(match.hasMatch(), qPrintable(got));
        QVERIFY(during.startsWith(follower.following().lost ? "El motor pierde pasos: los pulsos llegan a 3"
                                                             : "El motor sigue a los pulsos"));
        if (match.lastCapturedIndex() < 1)
            return;
        std::vector<PortWrite> faster = fed;  // the machine half as fast again
        for (std::size_t i = 1; i < fed.size(); ++i)
            faster[i].time = faster[i - 1].time + (fed[i].time - fed[i - 1].time) * 2 / 3;
        const int n = match.captured(1).toInt();
        model::RunOptions options;
        for (int slowdown : {n, n - 1}) {
            options.pacing.slowdown = slowdown;
            QCOMPARE(model::runMotor(follower.motor(), faster, options).followed(), slowdown == n);
        }
    }

    // A rotacion move, the bar dragged from its fast end to below the start rate: the line says the motor loses
    // steps while the pulses come too fast, and within a second of their slowing down that it follows them again,
    // as far behind as the pulses it lost (the rotor never started: all of them); homed, it says no more of that.
    void followsAgain()
    {
        Session session({}, 0);
        unsigned long long time = kSecond, back = 0;
        long fast = 0;  // the pulses given too fast, every one of them lost (whole poles of 8)
        QString following;
        QTRY_VERIFY_WITH_TIMEOUT(session.follower().following().advice.maxRate, 60000);  // the motor's start rate
        const auto pulses = [&](double rate, double seconds) {
            const unsigned long long from = time, gap = (unsigned long long)(5e8 / rate);
            const unsigned long long end = from + (unsigned long long)(seconds * 1e9);
            for (unsigned long long frame = time; time < end; session.tick(time)) {
                for (frame += kSecond / 60; time < frame; time += gap) {
                    session.feed({time, 888, short(session.board().pulse() ^ 1)});
                    fast += rate > 1000 && session.board().pulse();
                }
                const QString line = motorLine(session);
                if (line.startsWith("El motor pierde"))
                    back = 0;
                else if (!back && rate < 1000)
                    back = time - from, following = line;
            }
        };
        for (int homing = 0; homing < 2; ++homing, time += kSecond, fast = back = 0) {  // homed again, after more lost
            pulses(28000, 0.5);
            pulses(600, 1.5);
            QVERIFY2(back > 0 && back <= kSecond, qPrintable(QString::number(back)));
            const long apart = (fast + 4) / 8 * 8;  // the rotor stands at a pole
            QCOMPARE(following,
                     QString("El motor sigue a los pulsos (600 pasos/s), %1 pasos por detrás desde hace 1 s.").arg(apart));
            session.alignHands();  // homed: the hands together, the line says no more of it
            session.tick(time + kSecond);
            QVERIFY2(motorLine(session).startsWith(
                         QString("El motor perdió %1 pasos en el último movimiento. Para").arg(apart)),
                     qPrintable(motorLine(session)));
        }
    }

    // Gaps written "gap" or "gap*count"; percentiles by nearest rank, so each is a gap that happened.
    void regular_data()
    {
        pairs("gaps", "shown",  // median p99 p99.9 longest, over twice the median, verdict
              {{"none", "", "0 0 0 0 0 0"}, {"unsorted", "30 10 20", "20 30 30 30 0 0"},
               {"twice is not over", "10 10 20 21", "10 21 21 21 1 0"},
               {"one late in 1000", "10*999 1000", "10 10 10 1000 1 0"},
               {"p99.9 at 4x", "10*998 40 40", "10 10 40 40 2 0"},
               {"p99.9 over 4x", "10*989 15*9 50 100", "10 15 50 100 2 1"}});
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

    // The diagram's frame (a capture's, if another) at `now`, from writes at <µs> (s: a step); the move's rate.
    void frames_data()
    {
        columns<QString, int, int, QString>("writes", "now", "span", "shown");  // in µs; span 0: all
        QString long_;
        for (int t = 0; t <= 2500000; t += 100000)
            long_ += QString::number(t) + "s ";
        const QString move = "1000s 2000s ", held = "900-2100 held 2000";
        QTest::newRow("no move yet: the span up to now") << "100 200" << 300000 << 1000 << "299000-300000 live 0";
        QTest::newRow("still: the move, a tenth either side") << "1000s 1500 2000s" << 202000 << 1000 << held;
        QTest::newRow("a silence ends one") << "1000s 201000s 202000s" << 500000 << 1000 << "200900-202100 held 2000";
        QTest::newRow("a stepless write keeps it held") << move + "300000" << 400000 << 1000 << held;
        QTest::newRow("stepless ones after two silences") << move + "300000 600000" << 700000 << 1000 << held;
        QTest::newRow("a new move with a step") << move + "300000s" << 400000 << 1000 << "399000-400000 live 0";
        QTest::newRow("saving all: the move shown") << move << 300000 << 0 << "900-2100 0-300000 held 2000";
        QTest::newRow("one step: 10 µs either side") << "5000s" << 300000 << 1000 << "4990-5010 held 0";
        QTest::newRow("longer than the diagram keeps") << long_ << 3000000 << 1000 << "300000-2700000 held 10.4";
    }
    void frames()
    {
        const auto [writes, now, span] = fetch<QString, int, int>("writes", "now", "span");
        Moves moves;
        for (const QString &w : writes.split(' ', Qt::SkipEmptyParts))
            moves.feed(w.chopped(w.endsWith('s')).toULongLong() * 1000, w.endsWith('s'));
        const Frame f = frameAt(moves, now * 1000ULL, span * 1000ULL);
        const auto us = [](auto a, auto b) { return QString("%1-%2").arg(a / 1000).arg(b / 1000); };
        QTEST(us(f.start, f.end) + (f.from != f.start || f.to != f.end ? " " + us(f.from, f.to) : "") +
                  (f.held ? " held " : " live ") + QString::number(moves.last().stepsPerSecond()), "shown");
    }

    // Behind by more than the ring, a reader loses the oldest writes only; a capture says if it lost any.
    void reader()
    {
        freshArea();
        PortReader reader(*area);
        for (unsigned long long i = 0; i < published::kRing + 100; ++i)
            published::publish(*area, i, 888, short(i & 3));
        const std::vector<published::Write> got = reader.take();
        QVERIFY(got.size() == published::kRing && got.front().time == 100 && reader.lost() == 100);
        const Capture all = capture(*area, 0, ~0ULL), recent = capture(*area, published::kRing, ~0ULL);
        QVERIFY(all.writes.size() == published::kRing && all.lost && recent.writes.size() == 100 && !recent.lost);
    }

    // A capture's times, of writes <ns>:<value> at 50 µs from 0 (from 950: the lines before, 10 µs ahead).
    void dumpTimes_data()
    {
        columns<QString, int, QString>("writes", "from", "times");
        QTest::newRow("two writers out of order") << "1000:1 900:0 1100:1" << 0 << "#0 #1 #100";
        QTest::newRow("after now: left out") << "1000:1 2000:0 90000:1" << 0 << "#0 #1000";
        QTest::newRow("the lines before") << "800:2 1000:3 2000:2" << 950 << "#0 #200 #1200";
        QTest::newRow("10 µs before") << "800:2 20000:3" << 950 << "#0 #10000";
    }
    void dumpTimes()
    {
        const auto [writes, from] = fetch<QString, int>("writes", "from");
        freshArea();
        for (const QString &w : writes.split(' '))
            published::publish(*area, w.section(':', 0, 0).toULongLong(), 888, short(w.section(':', 1).toInt()));
        const QString dumped = QString::fromStdString(dump(capture(*area, from, 50000), ""));
        QTEST(dumped.split('\n').filter(QRegularExpression("^#")).join(' '), "times");
    }

    // The same writes, dumped by the library as it traces them and captured by the viewer from the move it holds
    // (or all the ring holds), decode to the same steps; and sigrok-cli decodes the capture as at the bench (README):
    // n steps show positions up to n - 1, down while the direction is low. Digits 17 µs apart, a space a second.
    void decodes_data()
    {
        columns<QString, QString>("writes", "decoded");
        QTest::newRow("vueltas right") << "0 " + QString("10").repeated(96) + "0" << "-95";
        QTest::newRow("rotacion left, saving all") << "0 " + QString("01").repeated(200) + "0" << "-199";
        QTest::newRow("direction set apart") << "0 2 " + QString("32").repeated(9) << "8";
    }
    void decodes()
    {
        QFETCH(QString, writes);
        freshArea();
        AreaFeed feed(std::move(viewed), 0);
        Session session(feed.before(), 0);
        session.setSpan(QByteArray(QTest::currentDataTag()).endsWith("all") ? 4 : 1);
        std::string library = vcd::header("", "");
        vcd::Lines lines;
        char text[vcd::kWriteMax];
        unsigned long long time = kSecond;
        for (QChar c : writes)
            if ((time = write(c, time, 17000)) && c != ' ')
                library.append(text, vcd::write(text, lines, time - kSecond - 17000, c.digitValue()));
        frame(feed, session, time + kSecond);
        const Asked asked = session.asked(time + kSecond);
        const std::string captured = dump(capture(*area, asked.from, asked.to), "");
        QCOMPARE(risingEdges(captured), risingEdges(library));
        if (QStandardPaths::findExecutable("sigrok-cli").isEmpty())
            QSKIP("sigrok-cli is not installed: the captures were not decoded by it");
        QVERIFY(put(dir + "/decodes.vcd", QByteArray::fromStdString(captured)));
        QProcess sigrok;
        sigrok.start("sigrok-cli", {"-I", "vcd:downsample=1000", "-i", dir + "/decodes.vcd", "-P",
                                    "stepper_motor:step=D0_pulso:dir=D1_direccion", "-A", "stepper_motor=position"});
        QVERIFY(sigrok.waitForFinished(60000));
        const QStringList positions = QString(sigrok.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QTEST(positions.value(positions.size() - 1).section(' ', 1, 1), "decoded");
    }

    // Where a capture may go, by the rule and as saving finds the files (unopened, but for a look at the lock a
    // running program's trace holds). A write that fails (on a file-size limit, with no signal) leaves the
    // capture saved there before.
    void saving_data()
    {
        columns<QString, int, QString>("target", "refusal", "says");
        QTest::newRow("nothing captured") << "" << int(Refusal::NothingCaptured) << "No hay nada que guardar";
        QTest::newRow("a FIFO") << "fifo" << int(Refusal::NotAFile) << "no es un fichero normal";
        QTest::newRow("a folder") << "carpeta" << int(Refusal::NotAFile) << "no es un fichero normal";
        QTest::newRow("the area") << "session.area" << int(Refusal::TheArea) << "es el área de publicación";
        QTest::newRow("the trace") << "traza.vcd" << int(Refusal::TheTrace) << "es la traza";
        QTest::newRow("the port's lock") << "session.area.lock" << int(Refusal::ALock) << "es un cerrojo";
        QTest::newRow("the viewers' lock") << "session.area.visor" << int(Refusal::ALock) << "es un cerrojo";
        QTest::newRow("a running program's trace") << "corriendo.vcd" << int(Refusal::Traced)
                                                   << "un programa en marcha escribe en él su traza";
        QTest::newRow("a file too large to write") << "antes.vcd" << int(Refusal::None) << "(ulimit -f)";
    }
    void saving()
    {
        const auto [target, says] = fetch<QString, QString>("target", "says");
        freshArea();
        const unsigned long long now = write(target.isEmpty() ? "" : "0123", 10 * kSecond - 5000);
        const QString file = dir + "/" + (target.isEmpty() ? "nueva.vcd" : target);
        QFile::remove(dir + "/fifo"), QFile::remove(dir + "/nueva.vcd");
        QVERIFY(!mkfifo(qPrintable(dir + "/fifo"), 0600) && QDir(dir).mkpath("carpeta"));
        for (const char *kept : {"/session.area.lock", "/session.area.visor", "/traza.vcd"})
            QFile(dir + kept).open(QIODevice::WriteOnly);
        // A program started elsewhere traces there: the port library holds its trace's lock while it writes.
        const owned::Fd traced(open(qPrintable(dir + "/corriendo.vcd"), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        QVERIFY(flock(traced.get(), LOCK_EX | LOCK_NB) == 0);
        const Capture taken = capture(*area, 0, now);
        const Asked asked{0, now, true};
        const Kept kept = keptFiles(viewed, qPrintable(dir + "/traza.vcd"));
        QVERIFY(target != "antes.vcd" || save(file, taken, asked, kept).ok);
        const QByteArray before = target == "fifo" ? "" : contents(file);
        QTEST(int(refusal(taken.writes.size(), targetAt(file.toStdString()), kept)), "refusal");
        std::signal(SIGXFSZ, SIG_DFL);  // the viewer's own: the save must not end it
        Saved saved{};
        underFileLimit(target == "antes.vcd" ? 40 : RLIM_INFINITY, [&] { saved = save(file, taken, asked, kept); });
        QVERIFY2(saved.message.contains(says) && saved.ok == says.startsWith("Guardadas"), qPrintable(saved.message));
        QVERIFY(saved.ok || target == "fifo" || contents(file) == before);
    }

    // A session follows a turn as a person watches it: opened after a write, the lines as it left them (the pulse
    // low, the direction high) in the lamps and all along the diagram; once still, held with its figures, also after a
    // stepless write (a program's last 0), saved whole; frozen as a new move begins; its area deleted, made anew, cut
    // short.
    void follows()
    {
        freshArea();
        const unsigned long long now = 10 * kSecond;
        write("2", now - 6 * kSecond);  // before the viewer, and the span of the capture below
        AreaFeed feed(std::move(viewed), now - 5 * kSecond);
        Session session(feed.before(), now - 5 * kSecond);
        frame(feed, session, now - 4 * kSecond);
        for (int line : {0, 1}) {  // 1: low, 2: high; both: 3
            const auto levels = columnLevels(session.changes(), session.valueBefore(), session.shown().end,
                                             session.shown().end - session.shown().start, 100, line);
            QCOMPARE(std::accumulate(levels.begin(), levels.end(), 0, std::bit_or<>()), 1 + line);
        }
        QVERIFY(!session.board().pulse() && session.board().direction());
        QVERIFY(programsLine(feed, session).startsWith("Ningún programa"));
        published::attach(*area, "vueltas");
        write("0" + QString("10").repeated(96) + "0", now - 200000000, 1000000);
        frame(feed, session, now);
        QCOMPARE(programsLine(feed, session),
                 QString("Puerto abierto por vueltas (pid %1): escribiendo.").arg(getpid()));
        QCOMPARE(positionLine(session) + speedLine(session) + senseLine(session, feed.lost()),  // 96 steps in 0,5 s
                 "Posición: 96 pasos (1,00 vueltas)Velocidad (media de 0,5 s): 192 pasos/s, 120,0 rpmSentido: horario");
        const QString gaps = ": mediana 1,00 ms; 99 %: 1,00 ms (1,0×); 99,9 %: 1,00 ms (1,0×); el más largo 1,00 ms "
                             "(1,0×); 0 de 193 pasan del doble de la mediana";
        QCOMPARE(figuresLine(session), "Huecos entre escrituras en el último segundo" + gaps);
        const QString file = dir + "/sesion.vcd";
        for (unsigned long long at : {now + kStill, now + 3 * kSecond + kStill / 2}) {
            write(at > now + kStill ? "0" : "", now + 3 * kSecond);
            frame(feed, session, at);
            QCOMPARE(moveLine(session), "Último movimiento: 96 pasos en 193,00 ms, 497 pasos/s");
            QCOMPARE(figuresLine(session), "Huecos en el último segundo del último movimiento" + gaps);
            QCOMPARE(caption(session), "motor parado: su último movimiento (el diagrama abarca 231,60 ms)");
            const auto levels = columnLevels(session.changes(), session.valueBefore(), session.shown().end,
                                             231600000, 100, 0);
            QCOMPARE(std::count(levels.begin(), levels.end(), 3), 84);  // columns with a pulse
            QCOMPARE(saveAt(feed, session, file, at).message, "Guardadas 194 escrituras en " + file + ": el último "
                     "movimiento, pues el motor está parado. El anillo no había perdido ninguna del intervalo.");
        }
        session.setSpan(kSpanChoices - 1);  // all the ring: not called the last move
        const Saved all = saveAt(feed, session, dir + "/todo.vcd", now + 4 * kSecond);
        QVERIFY2(all.ok && !all.message.contains("movimiento"), qPrintable(all.message));
        session.setSpan(1);

        // Frozen, it holds as a step stamped ahead (taken as now) begins a move, in the sense now chosen.
        session.setFrozen(true);
        session.setLowSense(1);
        write("1", now + 5 * kSecond);
        frame(feed, session, now + 4 * kSecond);
        QVERIFY(speedLine(session).contains(" 2 pasos/s") && session.board().pulse() && figuresLine(session).isEmpty());
        QCOMPARE(session.board().position(), 95L);
        QCOMPARE(caption(session), "congelado; motor parado: su último movimiento (el diagrama abarca 231,60 ms)");

        // The area deleted and made anew, where another program writes: read within a second.
        freshArea(false);
        QCOMPARE(published::attach(*area, "rotacion"), 0);
        write("0101", now + 4 * kSecond + kSecond / 2, 1);  // two steps
        frame(feed, session, now + 5 * kSecond + kSecond / 10);
        QVERIFY(programsLine(feed, session).contains("se ha vuelto a abrir") && session.board().position() == 93);
        frame(feed, session, now + 6 * kSecond + kSecond / 5);
        QVERIFY(programsLine(feed, session).startsWith("Puerto abierto por rotacion"));
        // Cut short under the viewer (truncate -s 0): it reads zeros, then maps it again.
        QCOMPARE(::truncate(path.c_str(), 0), 0);
        frame(feed, session, now + 6 * kSecond + kSecond / 4);
        QVERIFY(!senseLine(session, feed.lost()).contains("perdidas"));  // an area made anew loses nothing
        std::string error;
        QVERIFY(published::mapArea(path, error));  // and taken over in place before the viewer looks
        frame(feed, session, now + 7 * kSecond + kSecond / 2);
        QVERIFY(programsLine(feed, session).contains("se ha vuelto a abrir"));
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
