// The motor model against physics that no modelling choice changes, with each motor's own figures;
// the readers of trace files; and simulador --analizar as a person runs it.
#include "chart.h"
#include "following.h"
#include "stepper.h"
#include "tracefile.h"
#include "vcd.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QtTest>
#include <cmath>
#include <random>
#include <sys/stat.h>

using namespace simulador;

namespace {

const QString kPrograms = QStringLiteral("vueltas at full speed");
constexpr unsigned long long kVueltasHalfStep = 18000;  // ns: two delays of vueltas on the development machine

// The ringing of the rotor after one pulse into a one-phase state: its frequency and its damping ratio
// from the decay of successive peaks, once the swing is small.
std::pair<double, double> ringing(const MotorParams &motor)
{
    MotorModel model(motor);
    for (int value : {0, 1, 0})
        model.feed(model.time() + 1000, value);
    model.advanceTo(model.time() + 1000000000);  // rests at state 1, both phases on
    model.feed(model.time() + 1000, 1);           // to state 2: phase B alone
    const unsigned long long dt = 20000, from = model.time();
    std::vector<double> crossings, peaks;
    double before = model.loadAngle(), beforeThat = before;
    while (model.time() < from + 1000000000ULL) {
        model.advanceTo(model.time() + dt);
        const double angle = model.loadAngle();
        if (before > beforeThat && before >= angle && before < 0.05)  // a peak, once the swing is small
            peaks.push_back(before);
        if (before < 0 && angle >= 0 && !peaks.empty())
            crossings.push_back(double(model.time()) - double(dt) * angle / (angle - before));
        beforeThat = before;
        before = angle;
    }
    if (crossings.size() < 4 || peaks.size() < 4)
        return {0, 0};
    const double decrement = std::log(peaks[0] / peaks[3]) / 3;
    return {1e9 * double(crossings.size() - 1) / (crossings.back() - crossings.front()),
            decrement / std::sqrt(4 * M_PI * M_PI + decrement * decrement)};
}

// Traffic from a description: segments "der F S" (clockwise at F times the start rate for S seconds),
// "izq F S" (counter-clockwise), "rampa F1 F2 S" (clockwise, the rate changing evenly), "vueltas N" (N
// pulses of a vueltas move), one after the other at the pace of the one before.
std::vector<PortWrite> traffic(const QString &description, double start)
{
    std::vector<double> times;
    std::vector<bool> counter;
    for (const QString &segment : description.split(", ")) {
        const QStringList word = segment.split(' ');
        const double a = word[1].toDouble(), b = word.value(2).toDouble(), full = 1e9 / (2 * kVueltasHalfStep);
        const std::vector<double> more = word[0] == "rampa"     ? rampTimes(a * start, b * start, word[3].toDouble())
                                         : word[0] == "vueltas" ? steadyTimes(full, a / full)
                                                                : steadyTimes(a * start, b);
        const double pace = times.size() > 1 ? times.back() - times[times.size() - 2] : 0;
        const double offset = times.empty() ? 0 : times.back() + pace;
        for (double t : more) {
            times.push_back(offset + t);
            counter.push_back(word[0] == "izq");
        }
    }
    std::vector<PortWrite> writes = pulseTrain(times);
    for (size_t i = 0; i < counter.size(); ++i)
        if (counter[i])
            writes[2 * i + 1].value |= 2, writes[2 * i + 2].value |= 2;
    return writes;
}

QString written(const std::vector<PortWrite> &writes)
{
    QStringList text;
    for (const PortWrite &write : writes)
        text << QStringLiteral("%1:%2").arg(write.time).arg(write.value);
    return text.join(' ');
}

}  // namespace

class TestMotor : public QObject {
    Q_OBJECT

    QMap<QString, double> start_;  // each preset's start rate, as the model finds it
    const QString dir_ = QCoreApplication::applicationDirPath() + "/tst_motor.files";

    QString file(const QString &name, QByteArray content)
    {
        const QString path = dir_ + '/' + name;
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(content.replace('@', '\0')) != content.size())
            qFatal("can't write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase()
    {
        QDir(dir_).removeRecursively();
        QVERIFY(QDir().mkpath(dir_) && mkfifo(qPrintable(dir_ + "/tubo"), 0600) == 0);
        for (const MotorParams &motor : motorPresets()) {
            const StartRate found = findStartRate(motor);
            QVERIFY2(found.bands.empty(), motor.name.c_str());  // each preset damped as a motor in use
            QVERIFY(found.rate > 0);
            start_[QString::fromStdString(motor.name)] = found.rate;
        }
        const MotorParams &usual = motorPresets().front();
        QVERIFY(usual.pulsesPerTurn() == 96 && usual.dampingRatio() >= 0.05);
        QVERIFY(pullOutRate(usual, start_["48pasos"]) > 2 * start_["48pasos"]);  // once turning, far faster
    }

    // With no friction, the small ringing about a one-phase state is sqrt(Np·T_h/J)/2π (damped by
    // sqrt(1 - ζ²); the detent adds 4·Np·T_d to the stiffness), and it decays at the ratio the figures give.
    void ringingMatchesClosedForm_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("damping");  // times the preset's own
        QTest::addColumn<bool>("detent");
        QTest::newRow("small motor") << "48pasos" << 1.0 << false;
        QTest::newRow("small motor, a third of its damping") << "48pasos" << 1 / 3.0 << false;
        QTest::newRow("small motor, with its detent") << "48pasos" << 1.0 << true;
        QTest::newRow("NEMA 17") << "nema17" << 1.0 << false;
        QTest::newRow("heavy load's inertia") << "48pasos-carga" << 1.0 << false;
    }
    void ringingMatchesClosedForm()
    {
        QFETCH(QString, name);
        QFETCH(double, damping);
        QFETCH(bool, detent);
        MotorParams motor = *findPreset(name.toStdString());
        motor.coulombTorque = motor.loadTorque = 0;
        motor.viscousDamping *= damping;
        const double stiffer = detent ? std::sqrt(1 + 4 * motor.detentTorque / motor.holdingTorque) : 1;
        motor.detentTorque *= detent;
        const auto [frequency, ratio] = ringing(motor);
        const double zeta = motor.dampingRatio() / stiffer;
        const double expected = stiffer * motor.naturalFrequency() * std::sqrt(1 - zeta * zeta);
        QVERIFY2(std::fabs(frequency / expected - 1) < 0.02, qPrintable(QString::number(frequency)));
        QVERIFY2(std::fabs(ratio / zeta - 1) < 0.1, qPrintable(QString::number(ratio)));
    }

    // Moves from rest, at rates relative to each motor's own start rate: followed (lost nothing, and
    // the rotor ends where the pulses put it) or not.
    void moves_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("move");
        QTest::addColumn<bool>("followed");
        for (const char *name : {"48pasos", "nema17", "48pasos-carga"}) {
            QTest::addRow("%s: slow, clockwise", name) << name << "der 0.2 0.5" << true;
            QTest::addRow("%s: slow, counter-clockwise", name) << name << "izq 0.2 0.5" << true;
            QTest::addRow("%s: a little under the start rate", name) << name << "der 0.95 1" << true;
            QTest::addRow("%s: twice the start rate", name) << name << "der 2 1" << false;
        }
        QTest::newRow("there and back") << "48pasos" << "der 0.3 0.2, izq 0.3 0.2" << true;
        QTest::newRow("there and back, stalling both ways") << "48pasos" << "der 3 0.02, izq 3 0.02" << false;
        QTest::newRow("a turn of vueltas at full speed") << "48pasos" << "vueltas 96" << false;
        QTest::newRow("a long move of vueltas: a rotor buzzing between poles") << "48pasos" << "vueltas 60000" << false;
        QTest::newRow("ramp up, hold, ramp down") << "48pasos" << "rampa 0.5 1.5 2, der 1.5 0.5, rampa 1.5 0.5 2"
                                                  << true;
        QTest::newRow("abrupt start at the ramp's top") << "48pasos" << "der 1.5 0.5, rampa 1.5 0.5 2" << false;
        QTest::newRow("ramp up, then a dead stop") << "48pasos" << "rampa 0.5 1.5 2, der 1.5 0.5" << false;
    }
    void moves()
    {
        QFETCH(QString, name);
        QFETCH(QString, move);
        QFETCH(bool, followed);
        const std::vector<PortWrite> writes = traffic(move, start_[name]);
        const MotorParams &motor = *findPreset(name.toStdString());
        const Run run = runMotor(motor, writes);
        QCOMPARE(run.followed(), followed);
        QCOMPARE(run.pulses, long(writes.size() / 2));
        QVERIFY(motor.loadTorque > 0 || run.lost <= run.pulses + 8);  // a load can drag a stalled rotor back
        if (followed)  // where the pulses put it, and at rest soon after, so that a silence costs nothing
            QVERIFY(std::fabs(run.rotor - double(run.commanded)) < 0.5 && run.end < writes.back().time + 500000000);
        else if (move.startsWith("der 3"))  // a stall one way and one the other don't cancel
            QVERIFY(run.commanded == 0 && run.lost >= 16);
        if (move.startsWith("izq") || move.startsWith("der 0.3"))
            QCOMPARE(run.commanded, move.startsWith("izq") ? -run.pulses : 0L);
    }

    // Too little damping: a band of lost steps near f0 pulses a second, below a start rate above it.
    void resonanceBand()
    {
        MotorParams motor = motorPresets().front();
        motor.viscousDamping /= 6;
        const StartRate found = findStartRate(motor);
        const double f0 = motor.naturalFrequency();
        QVERIFY(!found.bands.empty() && found.rate > 5 * f0);
        QVERIFY2(found.bands.front().first < f0 * 1.1 && found.bands.front().second > f0 * 0.8,
                 qPrintable(QString("%1-%2").arg(found.bands.front().first).arg(found.bands.front().second)));
        QVERIFY(!followsFromRest(motor, (found.bands.front().first + found.bands.front().second) / 2));
    }

    // Past the corner the current can't reach its target within a step: the torque is down to 1/√2 near
    // V/(2·L·I) full steps a second, twice as many pulses on a half-step board, and flat well below it.
    void torqueFallsPastTheCorner()
    {
        const MotorParams &motor = motorPresets().front();
        const double corner = 2 * motor.cornerRate(), low = pullOutTorque(motor, corner / 20);
        QVERIFY(pullOutTorque(motor, corner / 4) > 0.95 * low);
        double below = corner / 4, above = corner * 4;
        while (above - below > 1) {
            const double middle = (below + above) / 2;
            (pullOutTorque(motor, middle) > low / std::sqrt(2) ? below : above) = middle;
        }
        QVERIFY2(std::fabs(below / corner - 1) < 0.2, qPrintable(QString::number(below)));
        QVERIFY(pullOutTorque(motor, 2 * below) < 0.7 * low / std::sqrt(2));
    }

    // The smallest slowdown found, applied, is followed, and one less is not.
    void slowdown_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("move");
        QTest::newRow("a turn of vueltas") << "48pasos" << "vueltas 96";
        QTest::newRow("NEMA 17, two turns of vueltas") << "nema17" << "vueltas 192";
        QTest::newRow("heavy load, a turn of vueltas") << "48pasos-carga" << "vueltas 96";
        QTest::newRow("a ramp, then a dead stop") << "48pasos" << "rampa 0.5 2.5 2, der 2.5 0.2";
        QTest::newRow("followed already") << "48pasos" << "der 0.5 0.2";
    }
    void slowdown()
    {
        QFETCH(QString, name);
        QFETCH(QString, move);
        const MotorParams &motor = *findPreset(name.toStdString());
        const std::vector<PortWrite> writes = traffic(move, start_[name]);
        const int n = suggestedSlowdown(motor, writes);
        RunOptions options;
        options.slowdown = n;
        QVERIFY(n >= 1 && runMotor(motor, writes, options).followed());
        options.slowdown = n - 1;
        QVERIFY(n == 1 || !runMotor(motor, writes, options).followed());
        QCOMPARE(n == 1, move.startsWith("der"));
        // Stretched as the library stretches: N times, never past 0.1 s, and a gap over 50 ms as it was.
        QCOMPARE(stretchedGap(20000, 10), 200000ULL);
        QCOMPARE(stretchedGap(50000000, 3), 100000000ULL);
        QCOMPARE(stretchedGap(50000001, 3), 50000001ULL);
    }

    // The board's rules as the viewer sets them, from values written 20 ms apart: the steps asked
    // for, the dial's angle, and the rotor at rest on it.
    void boardRules_data()
    {
        QTest::addColumn<bool>("falling");
        QTest::addColumn<bool>("lowIsClockwise");
        QTest::addColumn<QString>("values");
        QTest::addColumn<int>("steps");
        QTest::newRow("rising edges") << false << true << "0 1 0 1" << 2;
        QTest::newRow("falling edges") << true << true << "0 1 0 1" << 1;
        QTest::newRow("direction high: counter-clockwise") << false << true << "2 3 2 3 2 3" << -3;
        QTest::newRow("high is clockwise") << false << false << "2 3 2 3" << 2;
        QTest::newRow("the first value only sets the lines") << false << true << "1 0 1" << 1;
    }
    void boardRules()
    {
        QFETCH(bool, falling);
        QFETCH(bool, lowIsClockwise);
        QFETCH(QString, values);
        QFETCH(int, steps);
        MotorModel model(motorPresets().front(), {falling, lowIsClockwise});
        for (const QString &value : values.split(' '))
            model.feed(model.time() + 20000000, value.toInt());
        model.advanceTo(model.time() + 1000000000);
        QCOMPARE(model.commandedSteps(), long(steps));
        QCOMPARE(model.commandedDegrees(), steps < 0 ? 360 + 3.75 * steps : 3.75 * steps);
        QVERIFY(model.settled() && std::fabs(model.rotorDegrees() - model.commandedDegrees()) < 0.5);
    }

    // Fed as a session feeds it, asked between writes and left alone for an hour between two moves:
    // the same as one run, and at rest through the hour.
    void fedAsWritesCome()
    {
        const std::vector<PortWrite> one = traffic("der 0.5 0.3, izq 0.3 0.1", start_["48pasos"]);
        std::vector<PortWrite> both = one;
        const unsigned long long hour = 3600000000000ULL;
        for (const PortWrite &write : one)
            both.push_back({write.time + hour, write.value});
        MotorModel model(motorPresets().front());
        for (const PortWrite &write : both) {
            model.advanceTo(write.time - 1000 * (write.time % 7));
            if (&write == &both[one.size()])  // an hour after the first move
                QVERIFY(model.settled() && model.restedAt() < one.back().time + 1000000000);
            model.feed(write.time, write.value);
            QVERIFY(model.time() == write.time && model.lostSteps() == 0);
        }
        const Run run = runMotor(motorPresets().front(), both);
        model.advanceTo(run.end + 1000000000);
        const auto back = [](const PortWrite &write) { return write.value == 3; };  // a counter-clockwise pulse
        const long counter = long(std::count_if(one.begin(), one.end(), back));
        QCOMPARE(run.commanded, 2 * (long(one.size() / 2) - 2 * counter));
        QVERIFY(std::fabs(model.rotorSteps() - run.rotor) < 0.01 && std::fabs(run.rotor - double(run.commanded)) < 0.5);
    }

    // Random times (some going back, some hours apart) and values: never NaN nor infinity, nor a
    // rotor beyond where the pulses could have taken it.
    void fuzzedTraffic()
    {
        std::mt19937_64 random(25);
        for (const MotorParams &motor : motorPresets()) {
            MotorModel model(motor);
            unsigned long long time = 1ULL << 40;
            for (int i = 0; i < 6000; ++i) {
                const unsigned long long gaps[] = {0, random() % 20000, random() % 3000000, random() % (1ULL << 42)};
                time = random() % 50 ? time + gaps[random() % 4] : time - random() % 100000;
                model.feed(time, int(random() % 65536) - 32768);
                const double figures[] = {model.rotorSteps(), model.speed(), model.currentA(), model.currentB(),
                                          model.loadAngle(), model.torque()};
                for (double figure : figures)
                    QVERIFY(std::isfinite(figure));
                QVERIFY(std::fabs(model.rotorSteps()) <= model.pulses() + 8);
                QVERIFY(std::fabs(model.loadAngle()) < 1.3 * M_PI);
            }
        }
    }

    // The chart's columns hold every slip where it happened, and what the pulses asked for.
    void chartColumns()
    {
        const MotorParams &motor = motorPresets().front();
        const std::vector<PortWrite> writes = traffic("vueltas 96", 1);
        const Run run = runMotor(motor, writes);
        ChartRecorder recorder(run.start, run.end, 100);
        RunOptions options;
        long slips = 0;
        unsigned long long first = 0;
        options.observe = [&](const MotorModel &model) {
            recorder.observe(model);
            first = first ? first : model.slips() ? model.time() : 0;
            slips = model.slips();
        };
        options.sampleEvery = recorder.sampleEvery();
        runMotor(motor, writes, options);
        int counted = 0, firstColumn = -1;
        double asked = 0;
        for (size_t i = 0; i < recorder.columns().size(); ++i) {
            const ChartRecorder::Column &column = recorder.columns()[i];
            counted += column.slips;
            firstColumn = firstColumn < 0 && column.slips ? int(i) : firstColumn;
            asked = std::max(asked, column.seen ? column.commandedHigh : 0);
        }
        QVERIFY(slips > 0 && counted == slips && asked == 96);
        QCOMPARE(firstColumn, int((first - run.start) * 100 / (run.end - run.start)));
    }

    // Trace files as the library, the viewer and other tools leave them ('@' a zero byte).
    void readers_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("read");  // <t>:<value> ..., or a part of the message
        QTest::newRow("text trace") << QByteArray("100 888 0\n200 888 1\n300 888 -2\n") << "100:0 200:1 300:2";
        QTest::newRow("other ports left out, equal times kept") << QByteArray("100 888 1\n100 889 3\n100 888 0\n")
                                                                << "100:1 100:0";
        QTest::newRow("a killed run's reserve and mark") << QByteArray("100 888 1\n200 88@@@@@\nlibinpout32 reserva\n")
                                                         << "100:1";
        QTest::newRow("a file's own lines before the trace") << QByteArray("mis notas\n\n100 888 3\n") << "100:3";
        QTest::newRow("times going backwards") << QByteArray("200 888 1\n100 888 0\n") << "hacia atrás en la línea 2";
        QTest::newRow("a time past any clock") << QByteArray("0 888 0\n18446744073704551615 888 1\n") << "ningún reloj";
        QTest::newRow("a line that is not a write") << QByteArray("100 888 1\n200 888\n") << "la línea 2 no es";
        QTest::newRow("not a trace") << QByteArray("hola\n") << "no es una traza";
        QTest::newRow("a picture") << QByteArray("\x89PNG\r\n\x1a\n@@@@IHDR") << "no es una traza";
        QTest::newRow("lines ended as on Windows") << QByteArray("100 888 1\r\n200 888 0\r\n") << "100:1 200:0";
        QTest::newRow("empty") << QByteArray() << "no es una traza";
        const QByteArray header("$timescale 1 us $end $scope module p $end $var wire 1 # otra $end\n"
                                "$var wire 1 ! D0_pulso $end $var wire 1 \" D1_direccion $end $upscope $end\n");
        QTest::newRow("dump") << header + "$enddefinitions $end\n#0 $dumpvars 0! 1\" 0# $end #36 1! 1# #54 0! #60 b1 \""
                              << "0:2 36000:3 54000:2";
        QTest::newRow("dump at 10 ns, unknown levels low")
            << QByteArray("$timescale 10ns $end $var wire 1 a D0_pulso $end $var reg 1 b D1_direccion $end "
                          "$enddefinitions $end #0 xa 0b $comment 1a $end #3 1a #5 za")
            << "0:0 30:1 50:0";
        QTest::newRow("dump without direction") << QByteArray("$var wire 1 ! D0_pulso $end $enddefinitions $end #0 1!")
                                                << "sin la línea D1_direccion";
        QTest::newRow("dump going backwards") << header + "$enddefinitions $end #5 1! #4 0!" << "hacia atrás";
        QTest::newRow("dump cut short") << header << "está incompleto";
    }
    void readers()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, read);
        std::vector<PortWrite> writes;
        const QString message = QString::fromStdString(readTraffic(file("traza", content).toStdString(), writes));
        const bool named = message.contains("traza");  // the file's name
        QVERIFY2(message.isEmpty() ? written(writes) == read : message.contains(read) && named,
                 qPrintable(message + written(writes)));
    }

    // Bytes changed at random in a trace and in a dump: a message, or writes in order; never a crash.
    void readersFuzzed()
    {
        std::mt19937 random(7);
        const std::string trace("100 888 0\n200 888 1\n300 888 0\n");
        const std::string dump("$var wire 1 ! D0_pulso $end $var wire 1 \" D1_direccion $end $enddefinitions $end "
                               "#0 0! 0\" #5 1! #9 0!");
        for (int i = 0; i < 4000; ++i) {
            std::string text = i % 2 ? trace : dump;
            for (int n = int(random() % 4); n >= 0; --n)
                text[random() % text.size()] = char(random() % 256);
            std::vector<PortWrite> writes;
            const bool read = parseTraffic("f", text, writes).empty();
            QVERIFY(read != writes.empty());
            QVERIFY(std::is_sorted(writes.begin(), writes.end(), [](auto &a, auto &b) { return a.time < b.time; }));
        }
    }

    void motorFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("read");  // the motor's name and figures, or a part of the message
        const QByteArray figures("pasos_por_vuelta = 200\npar_retencion = 0,45 ; N·m\ncorriente=1.7\n"
                                 "resistencia = 1.5\ninductancia = 2.8e-3\ntension = 24\ninercia = 6e-6\n");
        QTest::newRow("all figures") << "[motor]\nnombre = mio # el de la mesa\n" + figures << "mio 50 0.45 0";
        QTest::newRow("no name: the file's") << figures + "par_carga = 0.1" << "motor 50 0.45 0.1";
        QTest::newRow("unknown key") << figures + "resistividad = 3" << "línea 8: clave «resistividad» desconocida";
        QTest::newRow("not a number") << figures + "par_detencion = poco" << "«poco» no es un número";
        QTest::newRow("a figure missing") << QByteArray("pasos_por_vuelta = 48\ntension = 12") << "no da par_retencion";
        QTest::newRow("load beyond the holding torque") << figures + "par_carga = 0.5" << "par_carga debe ser menor";
    }
    void motorFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, read);
        MotorParams motor;
        const std::string message = readMotorFile(file("motor.ini", content).toStdString(), motor);
        const QString figures = QStringLiteral("%1 %2 %3 %4").arg(motor.name.c_str()).arg(motor.polePairs())
                                    .arg(motor.holdingTorque).arg(motor.loadTorque);
        QVERIFY2(message.empty() ? figures == read : QString::fromStdString(message).contains(read), message.c_str());
    }

    // simulador --analizar as a person runs it: its lines, its status, its messages.
    void command_data()
    {
        QTest::addColumn<QString>("command");  // FILE: a turn of vueltas at full speed; SLOW: one at 1/40
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");  // on standard output, or on standard error
        const QString lines("^motor: %1\npasos pedidos: 96\npasos dados: %2\npasos perdidos: %3\narranque máximo: "
                            "[1-9][0-9]* pasos/s\nresonancias: ninguna\nPARPORT_SLOWDOWN sugerido: %4\n$");
        QTest::newRow("loses steps") << "--analizar FILE" << 3
                                     << lines.arg("48pasos", "-?[0-9]", "[1-9][0-9]*", "[1-9][0-9]+");
        QTest::newRow("follows") << "--analizar=SLOW --motor nema17" << 0 << lines.arg("nema17", "96", "0", "1");
        QTest::newRow("a motor of one's own") << "--motor DIR/motor.ini --analizar FILE" << 3 << "^motor: motor\n";
        QTest::newRow("with a chart") << "--analizar FILE --grafico DIR/giro.png" << 3 << "^motor: 48pasos\n";
        QTest::newRow("the library's dump") << "--analizar DIR/giro.vcd" << 3 << "^motor: 48pasos\npasos pedidos: 96\n";
        QTest::newRow("a motor with little damping") << "--analizar SLOW --motor DIR/poco.ini" << 0
                                                     << "\nresonancias: [0-9]+(-[0-9]+)? pasos/s(, .+)?\n";
        QTest::newRow("its motor's file missing") << "--analizar FILE --motor DIR/nada.ini" << 1
                                                  << "DIR/nada.ini no se puede abrir";
        QTest::newRow("missing") << "--analizar DIR/nada" << 1 << "El fichero DIR/nada no existe";
        QTest::newRow("a folder") << "--analizar DIR" << 1 << "El fichero DIR es una carpeta";
        QTest::newRow("not a trace") << "--analizar DIR/motor.ini" << 1 << "DIR/motor.ini no es una traza";
        QTest::newRow("times backwards") << "--analizar DIR/atras" << 1 << "DIR/atras: el tiempo va hacia atrás";
        QTest::newRow("a pipe") << "--analizar DIR/tubo" << 1 << "DIR/tubo no es un fichero normal";
        QTest::newRow("its motor's file a pipe") << "--analizar FILE --motor DIR/tubo" << 1 << "no es un fichero normal";
        QTest::newRow("unknown option") << "--analizar FILE --rapido" << 2 << "«--rapido» no va con --analizar";
        QTest::newRow("unknown motor") << "--analizar FILE --motor gigante" << 2 << "llamado «gigante»";
        QTest::newRow("no file") << "--analizar" << 2 << "--analizar pide un FICHERO";
        QTest::newRow("chart not a png") << "--analizar FILE --grafico g.jpg" << 2 << "acabado en .png";
    }
    void command()
    {
        QFETCH(QString, command);
        QFETCH(int, status);
        QFETCH(QString, said);
        QByteArray turn = "100 888 0\n", slow = turn;
        for (unsigned long long i = 0, t = 1000; i < 192; ++i, t += kVueltasHalfStep)
            turn += QByteArray::number(t) + " 888 " + QByteArray::number(i % 2 ? 0 : 1) + "\n",
            slow += QByteArray::number(t * 40) + " 888 " + QByteArray::number(i % 2 ? 0 : 1) + "\n";
        file("atras", "300 888 1\n200 888 0\n");
        const QByteArray figures("pasos_por_vuelta=48\npar_retencion=0.03\ncorriente=0.5\nresistencia=8\n"
                                 "inductancia=0.01\ntension=12\ninercia=2e-6\n");
        file("motor.ini", figures + "rozamiento_viscoso=1e-4\n");
        file("poco.ini", figures + "rozamiento_viscoso=1e-5\nrozamiento_seco=2e-4\n");
        QByteArray dump = QByteArray::fromStdString(vcd::header("hoy", "1.0"));
        vcd::Lines lines;
        for (const QByteArray &line : turn.trimmed().split('\n')) {
            char text[vcd::kWriteMax];
            const unsigned long long time = line.left(line.indexOf(' ')).toULongLong();
            dump.append(text, qsizetype(vcd::write(text, lines, time, line.right(1).toInt())));
        }
        file("giro.vcd", dump);
        QStringList arguments = command.split(' ');
        arguments.replaceInStrings("FILE", file("giro", turn)).replaceInStrings("SLOW", file("lento", slow));
        arguments.replaceInStrings("DIR", dir_);
        QFile::remove(dir_ + "/giro.png");
        QProcess simulador;
        simulador.start(QCoreApplication::applicationDirPath() + "/../bin/simulador", arguments);
        QVERIFY(simulador.waitForFinished(60000));
        const QString out = simulador.readAllStandardOutput(), error = simulador.readAllStandardError();
        QCOMPARE(simulador.exitCode(), status);
        said.replace("DIR", dir_);
        QVERIFY2(status < 1 || status > 2 ? QRegularExpression(said).match(out).hasMatch() && error.isEmpty()
                                          : out.isEmpty() && error.startsWith("simulador: ") && error.contains(said),
                 qPrintable(out + error));
        if (arguments.contains("--grafico") && status == 3)
            QCOMPARE(QImage(dir_ + "/giro.png").size(), QSize(1200, 760));
    }
};

QTEST_GUILESS_MAIN(TestMotor)
#include "tst_motor.moc"
