// The motor model against physics no modelling choice changes; its motors, presets and files; whether a motor
// follows some traffic, its start rate and the slowdown that makes it.
#include "chartdata.h"
#include "following.h"
#include "motors.h"
#include "stepper.h"
#include "table.h"

#include <cmath>

using namespace model;
using namespace traffic;

namespace {

constexpr unsigned long long kVueltasHalfStep = 18000;  // ns: two delays of vueltas on the development machine

// The rotor's ringing after a pulse into a one-phase state: its frequency, and its damping from the peaks' decay.
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
        beforeThat = std::exchange(before, angle);
    }
    if (crossings.size() < 4 || peaks.size() < 4)
        return {0, 0};
    const double decrement = std::log(peaks[0] / peaks[3]) / 3;
    return {1e9 * double(crossings.size() - 1) / (crossings.back() - crossings.front()),
            decrement / std::sqrt(4 * M_PI * M_PI + decrement * decrement)};
}

// Traffic of segments, each at the pace of the last: "der F S" (clockwise at F times the start rate for S seconds),
// "izq F S" (counter-clockwise), "rampa F1 F2 S" (the rate changing evenly), "vueltas N" (N pulses of vueltas),
// "cada S N" (N pulses S seconds apart).
std::vector<PortWrite> trafficOf(const QString &description, double start)
{
    std::vector<double> times;
    std::vector<bool> counter;
    for (const QString &segment : description.split(", ")) {
        const QStringList word = segment.split(' ');
        const double a = word[1].toDouble(), b = word.value(2).toDouble(), full = 1e9 / (2 * kVueltasHalfStep);
        std::vector<double> more;
        for (int i = 0; word[0] == "cada" && i < int(b); ++i)
            more.push_back(i * a);
        if (word[0] != "cada")
            more = word[0] == "rampa"     ? rampTimes(a * start, b * start, word[3].toDouble())
                   : word[0] == "vueltas" ? steadyTimes(full, a / full)
                                          : steadyTimes(a * start, b);
        const double pace = times.size() > 1 ? times.back() - times[times.size() - 2] : 0;
        const double offset = times.empty() ? 0 : times.back() + pace;
        for (double t : more)
            times.push_back(offset + t), counter.push_back(word[0] == "izq");
    }
    std::vector<PortWrite> writes = pulseTrain(times);
    for (size_t i = 0; i < counter.size(); ++i)
        if (counter[i])
            writes[2 * i + 1].value |= 2, writes[2 * i + 2].value |= 2;
    return writes;
}

}  // namespace

class TestMotor : public QObject {
    Q_OBJECT

    QMap<QString, double> start_;  // each preset's start rate, as the model finds it

private slots:
    void initTestCase()
    {
        for (const MotorParams &motor : motorPresets()) {
            const StartRate found = findStartRate(motor);
            QVERIFY2(found.bands.empty() && found.rate > 0, motor.name.c_str());  // damped as a motor in use
            start_[QString::fromStdString(motor.name)] = found.rate;
        }
    }

    // With no friction it rings at sqrt(Np·T_h/J)/2π·sqrt(1 - ζ²) (the detent adds 4·Np·T_d), decaying at ratio ζ.
    void ringingMatchesClosedForm_data()
    {
        columns<QString, double, bool>("name", "damping", "detent");  // damping: times the preset's own
        QTest::newRow("small motor") << "48pasos" << 1.0 << false;
        QTest::newRow("small motor, a third of its damping") << "48pasos" << 1 / 3.0 << false;
        QTest::newRow("small motor, with its detent") << "48pasos" << 1.0 << true;
        QTest::newRow("heavy load's inertia") << "48pasos-carga" << 1.0 << false;
    }
    void ringingMatchesClosedForm()
    {
        const auto [name, damping, detent] = fetch<QString, double, bool>("name", "damping", "detent");
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

    // Moves from rest, at rates relative to each motor's start rate: followed (lost nothing, ended where put) or not.
    void moves_data()
    {
        columns<QString, QString, bool>("name", "move", "followed");
        for (const char *name : {"48pasos", "nema17", "48pasos-carga"}) {
            QTest::addRow("%s: a little under the start rate", name) << name << "der 0.95 1" << true;
            QTest::addRow("%s: twice the start rate", name) << name << "der 2 1" << false;
        }
        QTest::newRow("there and back") << "48pasos" << "der 0.3 0.2, izq 0.3 0.2" << true;
        QTest::newRow("there and back, stalling both ways") << "48pasos" << "der 3 0.02, izq 3 0.02" << false;
        const QString shaking = QStringList(40, "der 1.8 0.03, izq 1.8 0.03").join(", ");  // each slip counted once
        QTest::newRow("back and forth, fast") << "48pasos" << shaking << false;
        QTest::newRow("a turn of vueltas at full speed") << "48pasos" << "vueltas 96" << false;
        QTest::newRow("stalled from rest, counter-clockwise") << "48pasos" << "izq 20 0.01" << false;
        QTest::newRow("a long move of vueltas: a rotor buzzing between poles") << "48pasos" << "vueltas 60000" << false;
        QTest::newRow("ramp up, hold, down") << "48pasos" << "rampa 0.5 1.5 2, der 1.5 0.5, rampa 1.5 0.5 2" << true;
        QTest::newRow("abrupt start at the ramp's top") << "48pasos" << "der 1.5 0.5, rampa 1.5 0.5 2" << false;
        QTest::newRow("ramp up, then a dead stop") << "48pasos" << "rampa 0.5 1.5 2, der 1.5 0.5" << false;
    }
    void moves()
    {
        const auto [name, move, followed] = fetch<QString, QString, bool>("name", "move", "followed");
        const std::vector<PortWrite> writes = trafficOf(move, start_[name]);
        const MotorParams &motor = *findPreset(name.toStdString());
        const Run run = runMotor(motor, writes);
        QCOMPARE(run.followed(), followed);
        QCOMPARE(run.pulses, long(writes.size() / 2));
        QVERIFY(motor.loadTorque > 0 || run.lost <= run.pulses + 8);  // a load can drag a stalled rotor back
        if (followed)  // where the pulses put it, and at rest soon after, so that a silence costs nothing
            QVERIFY(std::fabs(run.rotor - double(run.commanded)) < 0.5 && run.end < writes.back().time + 500000000);
        else if (move.startsWith("der 3"))  // a stall one way and one the other don't cancel
            QVERIFY(run.commanded == 0 && run.lost >= 16);
        else if (move.startsWith("izq 20") || move == "vueltas 96")  // never got going: within a pole of its start
            QVERIFY2(std::fabs(run.rotor) < 4 && run.lost > 0, qPrintable(QString::number(run.rotor)));
        if (move.startsWith("izq") || move.startsWith("der 0.3"))
            QCOMPARE(run.commanded, move.startsWith("izq") ? -run.pulses : 0L);
    }

    // Too little damping: a band of lost steps near f0 pulses a second, below a start rate above it.
    void resonanceBand_data()
    {
        columns<QString, double, double, bool>("name", "viscous", "dry", "clean");  // times the preset's own friction
        QTest::newRow("small motor, a sixth of its damping: clean edges") << "48pasos" << 1 / 6.0 << 1.0 << true;
        QTest::newRow("NEMA 17, a tenth, half its dry friction: a band a fifth wide, islands past it")
            << "nema17" << 0.1 << 0.5 << false;
    }
    void resonanceBand()
    {
        const auto [name, viscous, dry, clean] = fetch<QString, double, double, bool>("name", "viscous", "dry", "clean");
        MotorParams motor = *findPreset(name.toStdString());
        motor.viscousDamping *= viscous, motor.coulombTorque *= dry;
        const StartRate found = findStartRate(motor);
        const double f0 = motor.naturalFrequency();
        QVERIFY(!found.bands.empty() && found.rate > 5 * f0);
        const auto [lower, upper] = found.bands.front();
        QVERIFY2(lower < f0 * 1.1 && upper > f0 * 0.8, qPrintable(QString("%1-%2").arg(lower).arg(upper)));
        // Lost steps across it; its edges where they start and stop, found to within a pulse a second.
        QVERIFY(!followsFromRest(motor, lower) && !followsFromRest(motor, (lower + upper) / 2) &&
                !followsFromRest(motor, upper));
        QVERIFY(!clean || (followsFromRest(motor, lower * 0.99 - 1) && followsFromRest(motor, upper * 1.01 + 1)));
    }

    // The slowdown advised, applied, is followed as recorded and on a machine 1.5 times as fast (every gap a third
    // shorter); one less is not, on one of them.
    void slowdown_data()
    {
        // Five pulses at once put the field 5/8 of a turn ahead of the rotor: no stretch of a gap of 0 helps.
        pairs("name", "move", {{"a turn of vueltas", "48pasos", "vueltas 96"},
                               {"NEMA 17, two turns of vueltas", "nema17", "vueltas 192"},
                               {"a ramp, then a dead stop", "48pasos", "rampa 0.5 2.5 2, der 2.5 0.2"},
                               {"followed already, with its margin", "48pasos", "der 0.5 0.2"},
                               {"followed, but not 1.5 times as fast", "48pasos", "der 0.8 0.2"},
                               {"pulses at one instant: none", "48pasos", "der 0.5 0.2, cada 0 5"}});
    }
    void slowdown()
    {
        const auto [name, move] = fetch<QString, QString>("name", "move");
        const MotorParams &motor = *findPreset(name.toStdString());
        const std::vector<PortWrite> writes = trafficOf(move, start_[name]);
        const auto followed = [&](double slowdown, double faster) {
            RunOptions options;
            options.pacing.slowdown = slowdown, options.faster = faster;
            return runMotor(motor, writes, options).followed();
        };
        const int n = suggestedSlowdown(motor, writes);
        const bool none = move.contains("cada 0");
        QVERIFY((n == 0) == none);
        QVERIFY(none ? !followed(traffic::kMostSlowdown, 1) : followed(n, 1.5) && followed(n, 1));
        QVERIFY(n <= 1 || !followed(n - 1, 1.5) || !followed(n - 1, 1));
        QCOMPARE(n == 1, move == "der 0.5 0.2");
        QCOMPARE(followed(1, 1), move.startsWith("der") && !none);
    }

    // Full-speed turns capped by PARPORT_MAXRATE on a busy machine, which holds the program up now and then (a write
    // in ten up to 10 ms late): followed at the rate advised, of two significant figures and at most three quarters
    // of the start rate; at the start rate itself steps are lost, and on the two motors with less damping, at three
    // quarters of it, the usual margin.
    void advisedRate_data()
    {
        columns<QString, double>("name", "share");  // of the start rate; 0: the rate advised
        for (const char *name : {"48pasos", "nema17", "48pasos-carga"}) {
            QTest::addRow("%s: the rate advised", name) << name << 0.0;
            QTest::addRow("%s: its start rate", name) << name << 1.0;
            if (QByteArray(name) != "48pasos-carga")
                QTest::addRow("%s: three quarters of it", name) << name << 0.75;
        }
    }
    void advisedRate()
    {
        const auto [name, share] = fetch<QString, double>("name", "share");
        const MotorParams &motor = *findPreset(name.toStdString());
        const Advice advice = motorRates(motor);
        const bool advised = share == 0;
        const double rate = advised ? advice.rate : share * start_[name];
        const double unit = std::pow(10, std::floor(std::log10(rate)) - 1);
        QVERIFY2(!advised || (rate <= 0.75 * start_[name] && std::fmod(rate, unit) == 0),
                 qPrintable(QString::number(rate)));
        std::vector<PortWrite> writes = trafficOf("vueltas 960", 1);
        unsigned long long late = 0, seed = 1;
        for (PortWrite &write : writes) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;  // Knuth's: the same held writes everywhere
            late += (seed >> 33) % 10 == 0 ? (seed >> 40) % 10000000 : 0;
            write.time += late;
        }
        RunOptions options;
        options.pacing.maxRate = rate;
        QCOMPARE(runMotor(motor, writes, options).followed(), advised);
    }

    // The search's cost is bounded by the writes, whatever the motor: here one that never comes to rest (no
    // friction, ringing at 1.96 kHz, about the most a motor file may have) over slow pulses that end in bursts 1 µs
    // apart, where a run that follows them costs several times that bound: the search gives up within it, saying so.
    // It tells its progress at each run and within a long one, never back; an answer it gives is followed.
    void searchBounded_data()
    {
        columns<bool, QString>("ringing", "move");
        QTest::newRow("a turn of vueltas") << false << "vueltas 96";
        QTest::newRow("a rotor that never rests, late bursts") << true << "der 0.5 0.25, cada 1e-6 10, der 0.5 0.1";
    }
    void searchBounded()
    {
        const auto [ringing, move] = fetch<bool, QString>("ringing", "move");
        MotorParams motor = motorPresets().front();
        if (ringing)
            motor.inertia = 2.8e-9, motor.viscousDamping = motor.coulombTorque = motor.detentTorque = 0;
        const std::vector<PortWrite> writes = trafficOf(move, 1000);
        double work = 0, told = 0;
        int tells = 0;
        const int n = suggestedSlowdown(motor, writes, {}, [&](double done) {
            QVERIFY(done >= told && done <= 1);
            told = done, ++tells;
        }, &work);
        RunOptions options;
        options.pacing.slowdown = n;
        QVERIFY(ringing ? n == -1 : n > 1 && runMotor(motor, writes, options).followed());
        QVERIFY(tells >= 20);
        QVERIFY2(work < 1.1 * (kSearchWork * double(writes.size()) + kLeastSearchWork),
                 qPrintable(QString::number(work)));
    }

    // A trace's first value only sets the lines, which the model does not know before it: "1 0 1" is one step. (The
    // board's rules are tst_traffic's; the model's dial under each, tst_session's.)
    void firstValueSetsTheLines()
    {
        MotorModel model(motorPresets().front());
        for (int value : {1, 0, 1})
            model.feed(model.time() + 20000000, value);
        QCOMPARE(model.commandedSteps(), 1L);
    }

    // The chart frames each move with a step, cutting out the rests between (the rotor still, nothing written, for
    // over 0.2 s); its columns hold every slip where it happened (several between two looks too), and what the pulses
    // asked for: a full-speed turn 10 s after a write at start-up, a slow turn 1 s after it, a last write 5 s later.
    void chartColumns()
    {
        const MotorParams &motor = motorPresets().front();
        const std::vector<unsigned long long> begins{10000000000ULL, 11000000000ULL};
        std::vector<PortWrite> writes{{0, 0}};
        for (const auto &[move, rate, begin] : {std::tuple("vueltas 96", 1.0, begins[0]),
                                                std::tuple("der 0.3 0.2", start_["48pasos"], begins[1])})
            for (const PortWrite &write : trafficOf(move, rate))
                writes.push_back({begin + write.time, write.value});
        writes.push_back({writes.back().time + 5000000000ULL, 0});
        ChartRecorder recorder(chartSpans(motor, writes), 100, writes.front().time, writes.back().time);
        const auto &panels = recorder.panels();
        QCOMPARE(panels.size(), size_t(2));
        for (size_t i = 0; i < panels.size(); ++i)
            QVERIFY(panels[i].span.begins == begins[i] && panels[i].span.from <= begins[i] &&
                    panels[i].span.to > begins[i] + 2000000 && (i == 0 || panels[i - 1].span.to < panels[i].span.from));
        // The full-speed turn, 6 ms beside the slow turn's 0.29 s, still a tenth of the width, not a sliver.
        QVERIFY(panels.back().span.to < writes.back().time && panels.front().count >= 10);
        RunOptions options;
        long slips = 0;
        unsigned long long first = 0;
        options.observe = [&](const MotorModel &model) {
            recorder.observe(model);
            first = first ? first : model.slips() ? model.time() : 0;
            slips = model.slips();
        };
        options.nextLook = [&](unsigned long long now) { return recorder.nextLook(now); };
        runMotor(motor, writes, options);
        int counted = 0, firstColumn = -1;
        double asked = 0;
        for (size_t i = 0; i < recorder.columns().size(); ++i) {
            const ChartRecorder::Column &column = recorder.columns()[i];
            counted += column.slips;
            firstColumn = firstColumn < 0 && column.slips ? int(i) : firstColumn;
            asked = std::max(asked, column.seen ? column.commandedHigh : 0);
        }
        const ChartSpan &span = panels.front().span;
        const long slow = std::lround(0.3 * start_["48pasos"] * 0.2);  // the slow turn's pulses
        QVERIFY(slips > 0 && counted == slips && asked == 96 + slow);
        QCOMPARE(firstColumn, int((first - span.from) * panels.front().count / (span.to - span.from)));
        MotorModel model(motor);
        ChartRecorder once(chartSpans(motor, writes), 1, writes.front().time, writes.back().time);
        for (const PortWrite &write : writes)
            model.feed(write.time, write.value);
        once.observe(model);
        long all = 0;
        for (const ChartRecorder::Column &column : once.columns())
            all += column.slips;
        QVERIFY(model.slips() > 1 && all == model.slips());
    }

    // Motor files as people write them: the motor's name and figures, or a message naming the file.
    void motorFiles_data()
    {
        columns<QByteArray, QString>("content", "read");
        const QByteArray figures("pasos_por_vuelta = 200\npar_retencion = 0,45 ; N·m\ncorriente=1.7\n"
                                 "resistencia = 1.5\ninductancia = 2.8e-3\ntension = 24\ninercia = 6e-6\n");
        // With no viscous friction given, a damping ratio b / 2√(p·T·J) of 0.05, as in a motor in use.
        QTest::newRow("all figures") << "[motor]\nnombre = mio # el de la mesa\n" + figures << "mio 50 0.45 0 0.05";
        QTest::newRow("no name, the file's") << figures + "par_carga = 0.1" << "motor 50 0.45 0.1 0.05";
        QTest::newRow("unknown key") << figures + "resistividad = 3" << "línea 8: clave «resistividad» descono";
        QTest::newRow("one missing") << QByteArray("pasos_por_vuelta = 48\ntension = 12") << "no da par_reten";
        QTest::newRow("load beyond holding") << figures + "par_carga = 0.5" << "par_carga debe ser menor";
        QTest::newRow("50 full steps") << QByteArray(figures).replace("200", "50") << "múltiplo de 4";
        // The detent at most half the holding torque; the rotor ringing at 0.1 to 2000 Hz: for these figures,
        // from 50·√2·0.45/(2π·2000)² to 50·0.45/(2π·0.1)² kg·m².
        QTest::newRow("detent in mN·m as N·m") << figures + "par_detencion = 2" << "par_detencion debe estar entre 0 y 0.225";
        QTest::newRow("inertia too small") << QByteArray(figures).replace("6e-6", "2e-8") << "entre 2.02e-7 y 57 kg";
        QTest::newRow("inertia in g·cm²") << QByteArray(figures).replace("6e-6", "60") << "entre 2.02e-7 y 57 kg";
        QTest::newRow("a name that retitles the terminal") << figures + "nombre = \x1b]0;x\x07\x1b[31mrojo"
                                                           << "línea 8: el nombre tiene caracteres de control";
        QTest::newRow("a figure with escapes") << figures + "par_carga = \x1b[2J" << "«\\x1b[2J» no es un número";
    }
    void motorFiles()
    {
        const auto [content, read] = fetch<QByteArray, QString>("content", "read");
        const QString path = QCoreApplication::applicationDirPath() + "/motor.ini";
        MotorParams motor;
        QVERIFY(put(path, content));
        const QString message = QString::fromStdString(readMotorFile(path.toStdString(), motor));
        const double ratio = motor.viscousDamping / (2 * std::sqrt(motor.polePairs() * motor.holdingTorque * motor.inertia));
        const QString got = QStringLiteral("%1 %2 %3 %4 %5").arg(motor.name.c_str()).arg(motor.polePairs())
                                .arg(motor.holdingTorque).arg(motor.loadTorque).arg(ratio, 0, 'g', 3);
        QVERIFY2(message.isEmpty() ? got == read : message.contains(read) && message.contains("motor.ini"),
                 qPrintable(message + got));
        QVERIFY(!message.contains('\x1b'));
    }
};

QTEST_GUILESS_MAIN(TestMotor)
#include "tst_motor.moc"
