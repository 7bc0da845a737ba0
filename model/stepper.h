// A stepper motor on a step/direction driver board, as physics rather than
// as an ideal shaft: the board's step counter, the two phase windings behind
// a chopper driver, and the rotor with its load. Fed the port's writes as
// they come (time in ns, value), it says where the rotor is, where the pulses
// asked it to be and how many steps it has lost. No Qt, no clock: times are
// always given, and the same writes always give the same answers.
//
// The driver works in half steps: state k mod 8 of its counter sets the phase
// currents' targets, I·(1, 1, 0, -1, -1, -1, 0, 1) on A and I·(0, 1, 1, 1, 0,
// -1, -1, -1) on B. The one-phase states are not raised by √2, as on the
// simplest boards, so they hold with T_h and the two-phase ones with √2·T_h.
#pragma once

#include "write.h"

#include <algorithm>
#include <string>
#include <vector>

namespace model {

constexpr double kPi = 3.14159265358979323846;

using traffic::PortWrite;

// A motor, its load and its driver board, in SI units.
struct MotorParams {
    std::string name;
    int fullSteps = 48;              // full steps a turn (4 per rotor pole pair); twice as many pulses
    double holdingTorque = 0.025;    // N·m, one phase at the current below
    double current = 0.4;            // A, the driver's current limit per phase
    double resistance = 10;          // Ω per phase
    double inductance = 0.012;       // H per phase
    double voltage = 12;             // V, the driver's supply
    double inertia = 2e-6;           // kg·m², rotor and load
    double detentTorque = 0.002;     // N·m, the magnets' pull with no current
    double coulombTorque = 0.001;    // N·m, dry friction (it sticks below this)
    double viscousDamping = 1e-4;    // N·m·s/rad
    double loadTorque = 0;           // N·m, constant, against clockwise (a weight on a pulley)

    int polePairs() const { return fullSteps / 4; }
    int pulsesPerTurn() const { return 2 * fullSteps; }
    double torqueConstant() const { return holdingTorque / current; }  // N·m/A
    // The rotor's small-signal ringing about a one-phase state: sqrt(Np·T_h/J)/2π, in Hz.
    double naturalFrequency() const;
    // The fastest it rings, held hardest: both phases on, and the detent with them,
    // sqrt(Np·(√2·T_h + 4·T_d)/J)/2π. The model's step follows it.
    double fastestRinging() const;
    // B / (2·sqrt(Np·T_h·J)); dry friction and back-EMF add to it.
    double dampingRatio() const;
    // V/(2·L·I) pulses a second: past it the current can't reach its target within a step.
    double cornerRate() const;
    // "" when the figures make a motor the model can run, else why not (Spanish).
    std::string check() const;
};

// What a dynamometer would read: the mean torque the phases give with the
// rotor turned steadily at `rate` pulses a second, at the lag behind the field
// that gives the most (N·m). Past the corner rate the currents can't reach
// their targets within a step, and it falls.
double pullOutTorque(const MotorParams &motor, double rate);

// A winding behind the chopper driver over a step of h: with the back-EMF e
// held, its current goes from i towards (v - e)/R as i∞ + (i - i∞)·exp(-R·h/L),
// and the driver picks v in [-V, V] to land as near its target as that allows.
// Exact for any h, so the step needs only follow the rotor.
class Chopper {
public:
    explicit Chopper(const MotorParams &motor);
    void over(double h);  // the step the next currents are for
    double next(double i, double target, double e) const
    {
        const double held = i * decay_;
        return std::clamp(target, held + (-v_ - e) * gain_, held + (v_ - e) * gain_);
    }

private:
    double r_, l_, v_;
    double h_ = -1, decay_ = 0, gain_ = 0;
};

// The board's rules, as the viewer's options set them.
using DriverSettings = traffic::BoardRules;

class MotorModel {
public:
    explicit MotorModel(const MotorParams &motor, DriverSettings driver = {});

    // A write at `time` ns: the motor first moves on to that time, then the
    // board takes the value. The first write only sets the lines (a board seen
    // from the middle of a run has no edge to go by). A time before the
    // model's own is taken as its own.
    void feed(unsigned long long time, int value);
    // No write: the motor moves on to `time`. Once the rotor has come to rest
    // (or has rung on with no step for five seconds, or a thousand periods of
    // its ringing, see docs/motor.md) any silence costs nothing.
    void advanceTo(unsigned long long time);

    unsigned long long time() const { return now_; }
    bool settled() const { return settled_; }
    unsigned long long restedAt() const { return restedAt_; }  // when it last came to rest
    long pulses() const { return pulses_; }            // step pulses taken, either way
    long commandedSteps() const { return k_; }          // where the pulses asked the rotor to be, clockwise
    double rotorSteps() const;                          // where it is, in the same steps
    double commandedDegrees() const;                    // the same two as angles of the shaft,
    double rotorDegrees() const;                        // clockwise from the start, in [0, 360)
    double loadAngle() const { return delta_; }         // electrical radians the rotor lags the field, about (-π, π]
    long lostSteps() const { return lost_; }            // pulses lost since the start, every slip counted
    long slips() const { return slipsAhead_ + slipsBehind_; }
    unsigned long long work() const { return work_; }  // the steps it has integrated: what it has cost

private:
    void integrate(unsigned long long from, double seconds);
    void step(double h);
    double maxStep() const;
    void setTargets();
    void countSlips();
    bool currentsAtTarget() const;

    MotorParams p_;
    DriverSettings driver_;
    // Figures of the motor, once.
    double np_, kt_, hMech_, hElec_, stickBelow_, restSpeed_, longestRinging_;
    Chopper chopper_;

    unsigned long long now_ = 0;
    bool started_ = false;  // the model's time is a write's
    bool known_ = false;    // they are known
    int lines_ = 0;         // the pulse and direction lines as last written

    long k_ = 0;            // the board's counter: half steps, clockwise
    long m_ = 0;            // poles slipped: the rotor is 8·m half steps behind the counter's idea
    double delta_ = 0;      // load angle, electrical rad: k·π/4 - Np·θ - 2π·m
    int lastSlip_ = 0;      // +1 behind, -1 ahead: the last slip, while the rotor is still near that edge
    double omega_ = 0;      // rad/s
    double iA_, iB_;        // A
    double targetA_, targetB_;
    bool settled_ = true;
    unsigned long long restedAt_ = 0;
    double ringing_ = 0;    // s since the last step, while the rotor has not come to rest
    long pulses_ = 0, lost_ = 0, slipsAhead_ = 0, slipsBehind_ = 0;
    unsigned long long work_ = 0;
};

}  // namespace model
