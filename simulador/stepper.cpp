#include "stepper.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <locale.h>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>

namespace simulador {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfStep = kPi / 4;  // electrical radians the field turns per pulse

// The half-step table: each phase's target, in units of the current limit, for k mod 8.
constexpr int kPhaseA[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kPhaseB[8] = {0, 1, 1, 1, 0, -1, -1, -1};

// The motor is left alone for this long with no step before its ringing is
// called over: only a motor with no damping at all rings that long.
constexpr double kLongestRinging = 5;  // s

// The windings over a step of h with the rotor at electrical angle φ (sin φ = s, cos φ = c) turning at
// ω: each current moves as the chopper can move it against the back-EMF, -Kt·ω·sin φ on A and
// Kt·ω·cos φ on B. Returns the torque they give over the step, Kt·(-i_A·sin φ + i_B·cos φ).
double windings(const Chopper &chopper, double kt, double omega, double s, double c, double &iA, double &iB,
                double targetA, double targetB)
{
    const double a = chopper.next(iA, targetA, -kt * omega * s), b = chopper.next(iB, targetB, kt * omega * c);
    const double torque = kt * (-(iA + a) / 2 * s + (iB + b) / 2 * c);
    iA = a;
    iB = b;
    return torque;
}

MotorParams preset(const char *name, int fullSteps, double holding, double current, double resistance,
                   double inductance, double voltage, double inertia, double detent, double coulomb, double viscous,
                   double load)
{
    return {name,    fullSteps, holding, current, resistance, inductance,
            voltage, inertia,   detent,  coulomb, viscous,    load};
}

}  // namespace

Chopper::Chopper(const MotorParams &motor) : r_(motor.resistance), l_(motor.inductance), v_(motor.voltage) {}

void Chopper::over(double h)
{
    if (h != h_) {
        h_ = h;
        decay_ = std::exp(-r_ * h / l_);
        gain_ = (1 - decay_) / r_;
    }
}

double MotorParams::naturalFrequency() const
{
    return std::sqrt(polePairs() * holdingTorque / inertia) / (2 * kPi);
}

double MotorParams::dampingRatio() const
{
    return viscousDamping / (2 * std::sqrt(polePairs() * holdingTorque * inertia));
}

double MotorParams::cornerRate() const { return voltage / (2 * inductance * current); }

std::string MotorParams::check() const
{
    const auto positive = [](double v) { return std::isfinite(v) && v > 0; };
    const auto nonNegative = [](double v) { return std::isfinite(v) && v >= 0; };
    if (fullSteps < 4 || fullSteps > 2000 || fullSteps % 4)
        return "pasos_por_vuelta debe ser un múltiplo de 4 entre 4 y 2000 (un motor de dos fases da 4 pasos "
               "enteros por cada par de polos del rotor)";
    if (!positive(holdingTorque) || !positive(current) || !positive(resistance) || !positive(inductance) ||
        !positive(voltage) || !positive(inertia))
        return "par_retencion, corriente, resistencia, inductancia, tension e inercia deben ser mayores que 0";
    if (!nonNegative(detentTorque) || !nonNegative(coulombTorque) || !nonNegative(viscousDamping) ||
        !std::isfinite(loadTorque))
        return "par_detencion, rozamiento_seco y rozamiento_viscoso no pueden ser negativos";
    if (std::fabs(loadTorque) >= holdingTorque)
        return "par_carga debe ser menor que par_retencion: con más carga el motor no podría sostenerla ni parado";
    // Each figure the integrator's step follows must stay within what a
    // motor on a bench has, or a second of traffic would take hours.
    if (naturalFrequency() > 5000 || naturalFrequency() < 0.1)
        return "con esas cifras el rotor oscilaría a " + std::to_string(int(naturalFrequency())) +
               " Hz; revise par_retencion e inercia (un motor real queda entre 0,1 y 5000 Hz)";
    if (inductance * current / voltage < 1e-7 || resistance / inductance > 1e7)
        return "inductancia demasiado pequeña para esa tensión y corriente; revise sus unidades (henrios: 12 mH "
               "son 0.012)";
    return {};
}

const std::vector<MotorParams> &motorPresets()
{
    // name, full steps a turn, holding torque N·m, current A, resistance Ω, inductance H, supply V,
    // inertia kg·m², detent N·m, dry friction N·m, viscous N·m·s/rad, load N·m
    static const std::vector<MotorParams> presets = {
        // A small 7.5° motor of the kind hobby boards drive: f0 ≈ 62 Hz, ζ ≈ 0.065.
        preset("48pasos", 48, 0.025, 0.4, 10, 0.012, 12, 2e-6, 0.002, 0.001, 1e-4, 0),
        // A 1.8° NEMA 17 (42 × 40 mm) at 1.5 A on a 24 V half-step driver, with a
        // coupling: f0 ≈ 250 Hz, ζ ≈ 0.06.
        preset("nema17", 200, 0.40, 1.5, 1.5, 0.0028, 24, 8e-6, 0.015, 0.010, 1.5e-3, 0),
        // The small motor turning a pulley and a belt: three times the inertia,
        // more friction, and a fifth of its holding torque as a load.
        preset("48pasos-carga", 48, 0.025, 0.4, 10, 0.012, 12, 6e-6, 0.002, 0.003, 2e-4, 0.005),
    };
    return presets;
}

const MotorParams *findPreset(const std::string &name)
{
    for (const MotorParams &motor : motorPresets())
        if (strcasecmp(motor.name.c_str(), name.c_str()) == 0)
            return &motor;
    return nullptr;
}

namespace {

// The INI file's keys, their members, and whether a file must give them.
struct Key {
    const char *name;
    double MotorParams::*member;
    bool required;
};
// The damping ratio of a motor in use, when its file gives no viscous friction.
constexpr double kUsualDamping = 0.05;

constexpr Key kKeys[] = {
    {"par_retencion", &MotorParams::holdingTorque, true},   {"corriente", &MotorParams::current, true},
    {"resistencia", &MotorParams::resistance, true},        {"inductancia", &MotorParams::inductance, true},
    {"tension", &MotorParams::voltage, true},               {"inercia", &MotorParams::inertia, true},
    {"par_detencion", &MotorParams::detentTorque, false},   {"rozamiento_seco", &MotorParams::coulombTorque, false},
    {"rozamiento_viscoso", &MotorParams::viscousDamping, false}, {"par_carga", &MotorParams::loadTorque, false},
};

std::string trimmed(const std::string &text)
{
    const size_t from = text.find_first_not_of(" \t\r");
    return from == std::string::npos ? std::string() : text.substr(from, text.find_last_not_of(" \t\r") + 1 - from);
}

// A number with a point or a comma for its decimals, and an optional exponent; NaN when it is not one.
double number(std::string text)
{
    std::replace(text.begin(), text.end(), ',', '.');
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    char *end = nullptr;
    const double value = text.empty() ? NAN : strtod_l(text.c_str(), &end, c);
    return end && *end == '\0' && std::isfinite(value) ? value : NAN;
}

}  // namespace

std::string readMotorFile(const std::string &path, MotorParams &motor)
{
    const std::string where = "El fichero de motor " + path;
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return where + " no se puede abrir: " + std::strerror(errno) + ".";
    if (S_ISDIR(status.st_mode))
        return where + " es una carpeta; indique un fichero .ini (hay un ejemplo en docs/motor-ejemplo.ini).";
    // Told apart before it is opened: opening a FIFO would wait for a writer.
    if (!S_ISREG(status.st_mode) || status.st_size > 65536)
        return where + " no se puede leer como un fichero de texto pequeño (.ini): no es un fichero normal, o es "
                       "demasiado grande.";
    std::ifstream in(path);
    if (!in)
        return where + " no se puede abrir: " + std::strerror(errno) + ".";
    MotorParams read;
    for (const Key &key : kKeys)
        read.*key.member = 0;
    read.name = path.substr(path.rfind('/') + 1);
    read.name = read.name.substr(0, read.name.rfind('.'));
    std::vector<std::string> given;
    std::string line;
    for (int number_ = 1; std::getline(in, line); ++number_) {
        const std::string at = where + ", línea " + std::to_string(number_) + ": ";
        line = trimmed(line.substr(0, line.find_first_of("#;")));
        if (line.empty() || (line.front() == '[' && line.back() == ']'))
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            return at + "se esperaba «clave = valor».";
        const std::string key = trimmed(line.substr(0, equals)), value = trimmed(line.substr(equals + 1));
        if (std::find(given.begin(), given.end(), key) != given.end())
            return at + "«" + key + "» ya se dio antes.";
        given.push_back(key);
        if (key == "nombre") {
            if (value.empty())
                return at + "el nombre está vacío.";
            read.name = value;
            continue;
        }
        const double figure = number(value);
        if (key == "pasos_por_vuelta") {
            if (!(figure == std::floor(figure) && figure >= 4 && figure <= 2000))
                return at + "pasos_por_vuelta debe ser un número entero de pasos enteros por vuelta, como 48 o 200.";
            read.fullSteps = int(figure);
            continue;
        }
        const Key *known = std::find_if(std::begin(kKeys), std::end(kKeys),
                                        [&](const Key &k) { return key == k.name; });
        if (known == std::end(kKeys))
            return at + "clave «" + key + "» desconocida. Las claves son: nombre, pasos_por_vuelta, par_retencion, "
                        "corriente, resistencia, inductancia, tension, inercia, par_detencion, rozamiento_seco, "
                        "rozamiento_viscoso y par_carga.";
        if (std::isnan(figure))
            return at + "«" + value + "» no es un número (se admiten 0.012, 0,012 y 1.2e-2).";
        read.*known->member = figure;
    }
    if (in.bad())
        return where + " no se pudo leer entero.";
    std::string missing;
    if (std::find(given.begin(), given.end(), "pasos_por_vuelta") == given.end())
        missing = "pasos_por_vuelta";
    for (const Key &key : kKeys)
        if (key.required && std::find(given.begin(), given.end(), key.name) == given.end())
            missing += (missing.empty() ? "" : ", ") + std::string(key.name);
    if (!missing.empty())
        return where + " no da " + missing + " (cada cifra con su unidad: vea docs/motor-ejemplo.ini).";
    // A motor in use is damped by its load and its driver; left at none, the
    // model would ring for ever and lose steps at rates a real one follows.
    if (std::find(given.begin(), given.end(), "rozamiento_viscoso") == given.end())
        read.viscousDamping = 2 * kUsualDamping * std::sqrt(read.polePairs() * read.holdingTorque * read.inertia);
    if (const std::string wrong = read.check(); !wrong.empty())
        return where + ": " + wrong + ".";
    motor = read;
    return {};
}

MotorModel::MotorModel(const MotorParams &motor, DriverSettings driver)
    : p_(motor), driver_(driver), chopper_(motor)
{
    np_ = motor.polePairs();
    kt_ = motor.torqueConstant();
    // The stiffest the rotor is held: both phases on, and the detent with them.
    const double stiffness = np_ * (std::sqrt(2.0) * motor.holdingTorque + 4 * motor.detentTorque);
    hMech_ = 2 * kPi / std::sqrt(stiffness / motor.inertia) / 64;  // 64 steps per period of its fastest ringing
    // While the currents change, a step is at most a quarter of the time the
    // supply takes to swing one by its limit (the exact step makes any step
    // stable; this keeps the torque's timing right).
    hElec_ = std::max(motor.inductance * motor.current / motor.voltage / 4, 1e-7);
    // With no dry friction, a rotor this still counts as at rest.
    stickBelow_ = std::max(motor.coulombTorque, 1e-6 * motor.holdingTorque);
    restSpeed_ = 1e-6 * 2 * kPi / (np_ * hMech_ * 64);
    setTargets();
    iA_ = targetA_;
    iB_ = targetB_;
}

double pullOutTorque(const MotorParams &motor, double rate)
{
    const double kt = motor.torqueConstant(), np = motor.polePairs();
    const double halfStep = 1 / rate, electrical = rate * kHalfStep;  // s; electrical rad/s
    const double most = std::min(motor.current, motor.voltage / motor.resistance);
    const double moving = std::max(motor.inductance * motor.current / motor.voltage / 16, halfStep / 256);
    // Two turns of the field once the currents repeat themselves (five electrical time constants).
    const long warm = 8 * std::max(2L, long(std::ceil(5 * motor.inductance / motor.resistance * rate / 8)));
    Chopper chopper(motor);
    double best = 0;
    for (int j = 1; j < 48; ++j) {
        const double lag = j * kPi / 48;
        double iA = most, iB = 0, impulse = 0;
        for (long n = 0; n < warm + 16; ++n) {
            const double targetA = most * kPhaseA[n & 7], targetB = most * kPhaseB[n & 7];
            for (double t = 0; t < halfStep;) {
                const bool settled = std::fabs(iA - targetA) + std::fabs(iB - targetB) < 1e-6 * most;
                const double h = std::min(halfStep - t, settled ? halfStep / 16 : moving);
                const double psi = electrical * (n * halfStep + t + h / 2) - lag;  // the rotor, electrically
                const double s = std::sin(psi), c = std::cos(psi), omega = electrical / np;
                chopper.over(h);
                const double torque = windings(chopper, kt, omega, s, c, iA, iB, targetA, targetB);
                if (n >= warm)
                    impulse += torque * h;
                t += h;
            }
        }
        best = std::max(best, impulse / (16 * halfStep));
    }
    return best;
}

void MotorModel::setTargets()
{
    // The chopper can't push more than V/R through a winding at rest.
    const double most = std::min(p_.current, p_.voltage / p_.resistance);
    targetA_ = most * kPhaseA[k_ & 7];
    targetB_ = most * kPhaseB[k_ & 7];
}

double MotorModel::rotorSteps() const { return double(k_ - 8 * m_) - delta_ / kHalfStep; }

namespace {
double degrees(double steps, int perTurn)
{
    const double turns = steps / perTurn;
    const double angle = 360 * (turns - std::floor(turns));
    return angle >= 360 ? 0 : angle;
}
}  // namespace

double MotorModel::commandedDegrees() const { return degrees(double(k_), p_.pulsesPerTurn()); }
double MotorModel::rotorDegrees() const { return degrees(rotorSteps(), p_.pulsesPerTurn()); }

double MotorModel::torque() const
{
    const double phi = (k_ & 7) * kHalfStep - delta_;
    return kt_ * (-iA_ * std::sin(phi) + iB_ * std::cos(phi));
}

void MotorModel::feed(unsigned long long time, int value)
{
    if (!started_) {
        now_ = time;
        started_ = true;
    }
    advanceTo(time);
    if (known_ && driver_.steps(lines_, value)) {
        const int sense = driver_.sense(value);
        k_ += sense;
        delta_ += sense * kHalfStep;
        ++pulses_;
        setTargets();
        countSlips();
        settled_ = false;
        ringing_ = 0;
    }
    known_ = true;
    lines_ = value;
}

void MotorModel::advanceTo(unsigned long long time)
{
    if (!started_) {
        now_ = time;
        started_ = true;
    }
    if (time <= now_)
        return;
    const unsigned long long from = now_;
    now_ = time;
    if (!settled_)
        integrate(from, double(time - from) * 1e-9);
}

void MotorModel::integrate(unsigned long long from, double seconds)
{
    double done = 0;
    while (done < seconds && !settled_) {
        const double h = std::min(seconds - done, maxStep());
        step(h);
        done += h;
        ringing_ += h;
        if (ringing_ > kLongestRinging) {  // called over: the rotor stops where it is
            omega_ = 0;
            iA_ = targetA_;
            iB_ = targetB_;
            settled_ = true;
        }
    }
    if (settled_)
        restedAt_ = from + static_cast<unsigned long long>(done * 1e9);
}

bool MotorModel::currentsAtTarget() const
{
    const double near = 1e-6 * p_.current;
    return std::fabs(iA_ - targetA_) <= near && std::fabs(iB_ - targetB_) <= near;
}

double MotorModel::maxStep() const
{
    double h = hMech_;
    if (omega_ != 0)
        h = std::min(h, 0.1 / (np_ * std::fabs(omega_)));  // a tenth of an electrical radian
    if (!currentsAtTarget())
        h = std::min(h, hElec_);
    return h;
}

void MotorModel::step(double h)
{
    const double phi = (k_ & 7) * kHalfStep - delta_;  // Np·θ, within a turn of the field
    const double s = std::sin(phi), c = std::cos(phi);
    chopper_.over(h);
    // Everything but friction: the phases, the detent (sin 4φ from sin φ and cos φ) and the load.
    const double drive = windings(chopper_, kt_, omega_, s, c, iA_, iB_, targetA_, targetB_) -
                         p_.detentTorque * 4 * s * c * (c * c - s * s) - p_.loadTorque;
    const double damped = 1 + h * p_.viscousDamping / p_.inertia;  // viscous friction taken implicitly
    if (omega_ == 0) {
        if (std::fabs(drive) > stickBelow_)
            omega_ = h * (drive - std::copysign(p_.coulombTorque, drive)) / p_.inertia / damped;
    } else {
        const double w = (omega_ + h * (drive - std::copysign(p_.coulombTorque, omega_)) / p_.inertia) / damped;
        // Dry friction stops the rotor where its speed would change sign; with
        // none, a rotor this slow and this little pushed is at rest.
        const bool stops = p_.coulombTorque > 0 ? w * omega_ <= 0
                                                 : std::fabs(w) < restSpeed_ && std::fabs(drive) <= stickBelow_;
        omega_ = stops ? 0 : w;
    }
    delta_ -= np_ * h * omega_;
    countSlips();
    if (omega_ == 0 && std::fabs(drive) <= stickBelow_ && currentsAtTarget()) {
        iA_ = targetA_;
        iB_ = targetB_;
        settled_ = true;
    }
}

void MotorModel::countSlips()
{
    // The load angle leaving (-π, π]: the rotor is now nearer another pole of
    // the field, four full steps, eight pulses, away. A rotor buzzing on the
    // very edge between two poles would cross it back and forth; a slip back
    // the other way only counts once it is a half step past the edge.
    if (std::fabs(delta_) < kPi / 2)
        lastSlip_ = 0;
    while (delta_ > kPi + (lastSlip_ < 0 ? kHalfStep : 0)) {
        delta_ -= 2 * kPi;
        ++m_;
        ++slipsBehind_;
        lost_ += 8;
        lastSlip_ = 1;
    }
    while (delta_ <= -kPi - (lastSlip_ > 0 ? kHalfStep : 0)) {
        delta_ += 2 * kPi;
        --m_;
        ++slipsAhead_;
        lost_ += 8;
        lastSlip_ = -1;
    }
}

}  // namespace simulador
