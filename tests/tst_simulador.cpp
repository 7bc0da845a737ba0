// The viewer's figures as tables, the shared area between a writer and a reader, and the viewer's
// window, with its capture decoded as a logic analyser would.
#include "application.h"
#include "board.h"
#include "capture.h"
#include "moves.h"
#include "reader.h"
#include "regularity.h"
#include "widgets.h"
#include "window.h"

#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QtTest>
#include <QPushButton>
#include <QSettings>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace simulador;

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

class TestSimulador : public QObject {
    Q_OBJECT

    published::Area *area = nullptr;
    MappedArea viewed;  // the same area, as a window holds it
    const QString dir = QCoreApplication::applicationDirPath();
    const std::string path = dir.toStdString() + "/simulador.area";

    void freshArea(bool alsoViewed = true)  // else the window finds it by itself
    {
        ::unlink(path.c_str());
        std::string error;
        QVERIFY2((area = published::mapArea(path, error)) && (!alsoViewed || viewed.map(path, error)), error.c_str());
    }
    void write(const QString &values, unsigned long long from = 1000, unsigned long long step = 1000)
    {
        for (QChar v : values)
            published::publish(*area, from += step, 888, short(v.digitValue()));
    }

private slots:
    void init() { QCoreApplication::setOrganizationName("motorpasos"), QSettings().clear(); }
    void cleanup() { published::unmapArea(std::exchange(area, nullptr)); }

    void qtInSpanish() { QVERIFY(translateQt() && QCoreApplication::translate("QPlatformTheme", "&Yes") == "&Sí"); }

    // Speed over the last half second and its sense, from steps noted <ms><sense>
    // in the order taken, each given a time by takenTime().
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
            made.push_back({takenTime(step.chopped(1).toULongLong() * 1000000, made.empty() ? 0 : made.back().time, now * 1000000ULL),
                            step.endsWith('+') ? 1 : -1});
        const double perSecond = stepsPerSecond(made, now * 1000000ULL);
        QTEST(QString::number(perSecond) + " " + senseName(perSecond), "shown");
        Board board;  // and the shaft's mark two steps counter-clockwise of its start
        for (int value : {0, 2, 3, 2, 3})
            board.feed(value);
        QCOMPARE(board.angle(), 352.5);
    }

    // The diagram's frame and a capture's at `now`, from writes at <µs> (s: a step), and the move's rate.
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
            list.insert(list.end(), gap.section('*', 1).isEmpty() ? 1 : gap.section('*', 1).toInt(), gap.section('*', 0, 0).toULongLong());
        const Regularity r = regularity(list);
        QTEST(QString("%1 %2 %3 %4 %5 %6").arg(r.median).arg(r.p99).arg(r.p999).arg(r.longest).arg(r.overTwice).arg(r.irregular()), "shown");
    }

    void frames_data()
    {
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("now");  // µs
        QTest::addColumn<int>("span");  // µs, 0: all
        QTest::addColumn<QString>("shown");
        QString long_;
        for (int t = 0; t <= 2500000; t += 100000)
            long_ += QString::number(t) + "s ";
        QTest::newRow("no move yet: the span up to now") << "100 200" << 300000 << 1000 << "299000-300000 299000-300000 live 0";
        QTest::newRow("still: the move, a tenth either side") << "1000s 1500 2000s" << 202000 << 1000 << "900-2100 900-2100 held 2000";
        QTest::newRow("a silence ends a move") << "1000s 201000s 202000s" << 500000 << 1000 << "200900-202100 200900-202100 held 2000";
        QTest::newRow("a write with no step after it") << "1000s 2000s 300000" << 600000 << 1000 << "900-2100 900-2100 held 2000";
        QTest::newRow("a write, not yet still") << "1000s 2000s 300000" << 400000 << 1000 << "399000-400000 399000-400000 live 2000";
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
        QTEST(QString("%1-%2 %3-%4 %5 %6").arg(f.start / 1000).arg(f.end / 1000).arg(f.from / 1000).arg(f.to / 1000).arg(f.held ? "held" : "live").arg(moves.last().stepsPerSecond()), "shown");
    }

    // The reader takes what comes after its first look, and who has the port;
    // when it falls behind it loses the oldest writes, and only those.
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
        QCOMPARE(taken(), "vueltas");
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
        QVERIFY(all.writes.size() == published::kRing && all.lost && recent.writes.size() == 100 && !recent.lost &&
                dump(recent, "").find("$enddefinitions $end\n#0\n") != std::string::npos);
    }

    // A capture's times, from writes noted <ns>:<value>, taken at 5000 ns.
    void dumpTimes_data()
    {
        QTest::addColumn<QString>("writes");
        QTest::addColumn<QString>("times");
        QTest::newRow("two writers out of order") << "1000:1 900:0 1100:1" << "#0 #1 #100";
        QTest::newRow("after now: left out") << "1000:1 2000:0 9000:1" << "#0 #1000";
    }
    void dumpTimes()
    {
        QFETCH(QString, writes);
        freshArea();
        for (const QString &w : writes.split(' '))
            published::publish(*area, w.section(':', 0, 0).toULongLong(), 888, short(w.section(':', 1).toInt()));
        QTEST(QString::fromStdString(dump(capture(*area, 0, 5000), "")).split('\n').filter(QRegularExpression("^#")).join(' '), "times");
    }

    // Each span offered, by its caption, is what a capture takes: of writes two spans,
    // half a span and 1 ns before now, the last two (saving all: the three).
    void spans_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("saved");
        QTest::newRow("1 ms") << 1 << 2;
        QTest::newRow("100 ms") << 100 << 2;
        QTest::newRow("2 s (y guardar todo)") << 2000 << 3;
    }
    void spans()
    {
        QFETCH(int, ms);
        freshArea();
        SimuladorWindow window(viewed);
        auto *choices = window.findChild<QComboBox *>("intervalo");
        const int choice = choices->findText(QTest::currentDataTag());
        QVERIFY(choice >= 0);
        choices->setCurrentIndex(choice);
        const unsigned long long span = ms * 1000000ULL, now = 10 * kSecond;
        for (unsigned long long before : {2 * span, span / 2, 1ULL})
            published::publish(*area, now - before, 888, 1);
        QTEST(window.saveCaptureTo(dir + "/captura.vcd", now).message.section(' ', 1, 1).toInt(), "saved");
    }

    // "Guardar captura…" refuses, without blocking, what is not an ordinary
    // file and the area itself; a write that fails (on a file-size limit)
    // leaves the capture saved there before. Each is left as it was.
    void saveRefused_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("a FIFO") << "fifo";
        QTest::newRow("the area") << "simulador.area";
        QTest::newRow("a file too large to write") << "antes.vcd";
    }
    void saveRefused()
    {
        QFETCH(QString, target);
        freshArea();
        SimuladorWindow window(viewed);
        const QString file = dir + "/" + target;
        QFile::remove(dir + "/fifo");
        QVERIFY(target == "fifo" ? mkfifo(qPrintable(file), 0600) == 0 : target != "antes.vcd" || window.saveCaptureTo(file).ok);
        const auto contents = [&] { QFile f(file); return target == "fifo" || !f.open(QIODevice::ReadOnly) ? "" : f.readAll(); };
        const QByteArray before = contents();
        rlimit usual, small;
        getrlimit(RLIMIT_FSIZE, &usual);
        small = {target == "antes.vcd" ? 40 : usual.rlim_cur, usual.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
        setrlimit(RLIMIT_FSIZE, &small);
        const SimuladorWindow::Saved saved = window.saveCaptureTo(file, 10 * kSecond);
        setrlimit(RLIMIT_FSIZE, &usual);
        QVERIFY2(!saved.ok && saved.message.startsWith("No se"), qPrintable(saved.message));
        QCOMPARE(contents(), before);
    }

    void viewer()
    {
        freshArea();
        SimuladorWindow window(viewed);
        window.show();
        auto text = [&](const char *name) { return window.findChild<QLabel *>(name)->text(); };
        QVERIFY(text("programa").startsWith("Ningún programa"));
        const int slot = published::attach(*area, "vueltas");
        published::attach(*area, "<img width=1e9>");  // a name, not markup that blanks the line
        const unsigned long long now = 10000000000ULL;
        write("2", now - 3 * kSecond);  // before the span of the capture below
        write("0" + QString("10").repeated(96) + "0", now - 200000000, 1000000);
        window.frame(now);
        QCOMPARE(text("posicion"), "Posición: 96 pasos (1,00 vueltas)");
        QCOMPARE(text("velocidad"), "Velocidad (media de 0,5 s): 192 pasos/s, 120,0 rpm");  // 96 steps in the last half second
        QCOMPARE(text("sentido"), "Sentido: horario");
        QCOMPARE(text("regularidad"), "Huecos entre escrituras en el último segundo: mediana 1,00 ms; 99 %: 1,00 ms (1,0×); 99,9 %: 1,00 ms (1,0×); el más largo 1,00 ms (1,0×); 0 de 193 pasan del doble de la mediana");
        const QLabel *lines = window.findChild<QLabel *>("regularidad");
        QVERIFY(lines->heightForWidth(lines->width()) <= lines->height());  // not cut
        QVERIFY(window.findChild<QLabel *>("programa")->heightForWidth(420) > 0);  // not blanked by a name
        // Still: the turn held, at its own rate, saved whole as a logic analyser reads it; frozen, it stays.
        window.frame(now + kStill);
        QCOMPARE(text("movimiento"), "Último movimiento: 96 pasos en 193,00 ms, 497 pasos/s");
        QVERIFY(text("regularidad").isEmpty());  // quiet once still
        QCOMPARE(window.findChild<TimingDiagram *>("diagrama")->span(), 231600000ULL);
        const QString file = dir + "/captura.vcd";
        QCOMPARE(window.saveCaptureTo(file, now + kStill).message, "Guardadas 194 escrituras en " + file + ": el último movimiento, pues el motor está parado. El anillo no había perdido ninguna del intervalo.");
        decodesFullTurn(file);
        window.findChild<QPushButton *>("congelar")->click();

        // The other sense, chosen by the person, is in force at once.
        window.findChild<QComboBox *>("sentidoBajo")->setCurrentIndex(1);
        write("1", now + kSecond);  // stamped ahead: taken as now
        window.frame(now + 1);
        QCOMPARE(text("velocidad").section(' ', 5, 5), "190");
        QCOMPARE(window.board().position(), 95L);
        QVERIFY(window.findChild<Lamp *>("lamparaPulso")->lit());
        QCOMPARE(window.findChild<TimingDiagram *>("diagrama")->span(), 231600000ULL);
        published::detach(*area, slot);

        // The area deleted and made anew, where another program writes: read within a second.
        published::unmapArea(area);
        freshArea(false);
        QCOMPARE(published::attach(*area, "rotacion"), 0);
        write("0101", now + kSecond / 2, 1);  // two steps
        window.frame(now + kSecond + kSecond / 10);
        QVERIFY(text("programa").contains("se ha vuelto a abrir"));
        QCOMPARE(window.board().position(), 93L);
        window.frame(now + 2 * kSecond + kSecond / 5);
        QVERIFY(text("programa").startsWith("Puerto abierto por rotacion"));
        // Cut short under the viewer (truncate -s 0): it reads zeros, then maps it again.
        QCOMPARE(::truncate(path.c_str(), 0), 0);
        window.frame(now + 2 * kSecond + kSecond / 4);
        QVERIFY(!text("sentido").contains("perdidas"));  // an area made anew loses nothing
        std::string error;
        published::unmapArea(published::mapArea(path, error));  // and taken over in place before the viewer looks
        window.frame(now + 3 * kSecond + kSecond / 2);
        QVERIFY(text("programa").contains("se ha vuelto a abrir"));
    }

    // The options, the size and the folder of the last capture, as left; the diagram takes the room.
    void remembered()
    {
        freshArea();
        QVERIFY(captureFolder() != QDir::currentPath());
        {
            SimuladorWindow window(viewed);
            for (QComboBox *box : window.findChildren<QComboBox *>())
                box->setCurrentIndex(box->count() - 1);
            window.findChild<QPushButton *>("congelar")->click();
            window.resize(900, 700);
            window.show();
            QVERIFY(window.saveCaptureTo(dir + "/captura.vcd").ok && window.close());
        }
        SimuladorWindow again(viewed);
        again.show();
        QString kept;
        for (QComboBox *box : again.findChildren<QComboBox *>())
            kept += QString::number(box->currentIndex());
        QCOMPARE(kept + (again.findChild<QPushButton *>("congelar")->isChecked() ? " congelado" : ""), "114 congelado");
        QCOMPARE(again.findChild<TimingDiagram *>("diagrama")->size(), QSize(880, 238));
        QCOMPARE(captureFolder(), dir);
    }
};

QTEST_MAIN(TestSimulador)
#include "tst_simulador.moc"
