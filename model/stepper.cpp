#include "stepper.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace model {

namespace {

constexpr double kHalfStep = kPi / 4;  // electrical radians the field turns per pulse

// The half-step table: each phase's target, in units of the current limit, for k mod 8.
constexpr int kPhaseA[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kPhaseB[8] = {0, 1, 1, 1, 0, -1, -1, -1};

// What a motor on a bench rings at, in Hz: its natural frequency no slower,
// its fastest ringing (both phases on, and the detent) no faster. Small
// steppers ring at 50 to 500 Hz; a motor file past these has a figure in
// the wrong unit.
constexpr double kSlowestRinging = 0.1, kFastestRinging = 2000;

// A figure for a message, as a file takes it: whole from a thousand up, else three significant digits.
std::string figure(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, value >= 1000 && value < 1e9 ? "%.0f" : "%.3g", value);
    std::string shown = text;
    if (const size_t zero = shown.find("e-0"); zero != std::string::npos)
        shown.erase(zero + 2, 1);
    return shown;
}

// The motor is left alone for this long with no step before its ringing is
// called over, or for this many periods of its fastest ringing, whichever is
// shorter: only a motor with almost no damping rings that long (a damping
// ratio of 0.001 brings a swing down five hundred times in a thousand
// periods), and with the currents still, its swing can only shrink, so no
// slip is missed.
constexpr double kLongestRinging = 5;  // s
constexpr double kMostPeriods = 1000;

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

double MotorParams::fastestRinging() const
{
    return std::sqrt(polePairs() * (std::sqrt(2.0) * holdingTorque + 4 * detentTorque) / inertia) / (2 * kPi);
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
    // motor on a bench has: the step is a fraction of the rotor's fastest
    // ringing, and a motor that rang at many kHz would make a second of
    // traffic cost minutes.
    if (detentTorque > holdingTorque / 2)
        return "par_detencion debe estar entre 0 y " + figure(holdingTorque / 2) +
               " N·m, la mitad de par_retencion: el tirón de los imanes de un motor real es una parte pequeña de su "
               "par de retención. ¿Está en mN·m? 2 mN·m son 0.002";
    const double spring = polePairs() * (std::sqrt(2.0) * holdingTorque + 4 * detentTorque);  // N·m/rad, held hardest
    const double least = spring / std::pow(2 * kPi * kFastestRinging, 2);
    const double most = polePairs() * holdingTorque / std::pow(2 * kPi * kSlowestRinging, 2);
    if (inertia < least || inertia > most)
        return "inercia debe estar entre " + figure(least) + " y " + figure(most) + " kg·m² para ese par_retencion" +
               (detentTorque > 0 ? " y ese par_detencion" : "") + " con " + std::to_string(fullSteps) +
               " pasos por vuelta: con " + figure(inertia) + " el rotor oscilaría a " +
               figure(inertia < least ? fastestRinging() : naturalFrequency()) + " Hz, y uno real queda entre " +
               figure(kSlowestRinging) + " y " + figure(kFastestRinging) +
               " Hz. Revise las unidades (1 g·cm² son 1e-7 kg·m²)";
    if (inductance * current / voltage < 1e-7 || resistance / inductance > 1e7)
        return "inductancia demasiado pequeña para esa tensión y corriente; revise sus unidades (henrios: 12 mH "
               "son 0.012)";
    return {};
}

MotorModel::MotorModel(const MotorParams &motor, DriverSettings driver)
    : p_(motor), driver_(driver), chopper_(motor)
{
    np_ = motor.polePairs();
    kt_ = motor.torqueConstant();
    hMech_ = 1 / motor.fastestRinging() / 64;  // 64 steps per period of its fastest ringing
    longestRinging_ = std::min(kLongestRinging, kMostPeriods / motor.fastestRinging());
    // While the currents change, a step is at most a quarter of the time the
    // supply takes to swing one by its limit (the exact step makes any step
    // stable; this holds the torque's timing right).
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
        if (ringing_ > longestRinging_) {  // called over: the rotor stops where it is
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
    ++work_;
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

}  // namespace model
