#include "motors.h"
#include "printable.h"
#include "reason.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <locale.h>
#include <strings.h>
#include <sys/stat.h>

namespace model {

namespace {

MotorParams preset(const char *name, int fullSteps, double holding, double current, double resistance,
                   double inductance, double voltage, double inertia, double detent, double coulomb, double viscous,
                   double load)
{
    return {name,    fullSteps, holding, current, resistance, inductance,
            voltage, inertia,   detent,  coulomb, viscous,    load};
}

}  // namespace

const std::vector<MotorParams> &motorPresets()
{
    // name, full steps a turn, holding torque N·m (one phase on, at the board's current), current A, resistance Ω,
    // inductance H, supply V, inertia kg·m², detent N·m, dry friction N·m, viscous N·m·s/rad, load N·m.
    // A data sheet's holding torque is most often with both phases on, at the rated current: one phase at the
    // board's current I gives that ÷ √2 × I / I_rated (see "The motors" in docs/motor.md).
    static const std::vector<MotorParams> presets = {
        // A 7.5° permanent-magnet (can-stack) motor of the kind hobby kits drive, 48 full steps a turn: the
        // figures of that kind, not of one data sheet. 25 mN·m with one phase on at the board's 0.4 A (35 mN·m
        // with both on, as a data sheet would give it): f0 ≈ 62 Hz, ζ ≈ 0.065.
        preset("48pasos", 48, 0.025, 0.4, 10, 0.012, 12, 2e-6, 0.002, 0.001, 1e-4, 0),
        // A 17HS4401, a 1.8° NEMA 17 (42 × 40 mm): its data sheet gives 0.40 N·m holding with both phases on at
        // its rated 1.7 A, 1.5 Ω and 2.8 mH a phase. Here on a 24 V half-step driver set to 1.5 A, so one phase
        // holds 0.40 / √2 × 1.5 / 1.7 = 0.25 N·m (Kt 0.166 N·m/A). The inertia (its rotor and a coupling),
        // detent and friction are estimates: f0 ≈ 199 Hz, ζ ≈ 0.075.
        preset("nema17", 200, 0.40 / std::sqrt(2.0) * 1.5 / 1.7, 1.5, 1.5, 0.0028, 24, 8e-6, 0.015, 0.010, 1.5e-3, 0),
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
    using traffic::printable;
    // Whatever of the file a message or the motor's name shows is shown with its control characters escaped.
    const std::string where = "El fichero de motor " + printable(path);
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return where + " no se puede abrir: " + traffic::reason(errno) + ".";
    if (S_ISDIR(status.st_mode))
        return where + " es una carpeta; indique un fichero .ini (hay un ejemplo en docs/motor-ejemplo.ini).";
    // Told apart before it is opened: opening a FIFO would wait for a writer.
    if (!S_ISREG(status.st_mode) || status.st_size > 65536)
        return where + " no se puede leer como un fichero de texto pequeño (.ini): no es un fichero normal, o es "
                       "demasiado grande.";
    std::ifstream in(path);
    if (!in)
        return where + " no se puede abrir: " + traffic::reason(errno) + ".";
    MotorParams read;
    for (const Key &key : kKeys)
        read.*key.member = 0;
    read.name = path.substr(path.rfind('/') + 1);
    read.name = printable(read.name.substr(0, read.name.rfind('.')));
    std::vector<std::string> given;
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        const std::string at = where + ", línea " + std::to_string(lineNumber) + ": ";
        line = trimmed(line.substr(0, line.find_first_of("#;")));
        if (line.empty() || (line.front() == '[' && line.back() == ']'))
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            return at + "se esperaba «clave = valor».";
        const std::string key = trimmed(line.substr(0, equals)), value = trimmed(line.substr(equals + 1));
        if (std::find(given.begin(), given.end(), key) != given.end())
            return at + "«" + printable(key) + "» ya se dio antes.";
        given.push_back(key);
        if (key == "nombre") {
            if (value.empty())
                return at + "el nombre está vacío.";
            // A name goes to a terminal and to the viewer's picker: no escapes that recolour or retitle them.
            if (traffic::hasControls(value))
                return at + "el nombre tiene caracteres de control (" + printable(value) + "); escríbalo con letras, "
                            "cifras y signos.";
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
            return at + "clave «" + printable(key) + "» desconocida. Las claves son: nombre, pasos_por_vuelta, par_retencion, "
                        "corriente, resistencia, inductancia, tension, inercia, par_detencion, rozamiento_seco, "
                        "rozamiento_viscoso y par_carga.";
        if (std::isnan(figure))
            return at + "«" + printable(value) + "» no es un número (se admiten 0.012, 0,012 y 1.2e-2).";
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

std::string motorNames()
{
    std::string names;
    for (const MotorParams &known : motorPresets())
        names += (names.empty() ? "" : ", ") + known.name;
    return names;
}

bool namesFile(const std::string &choice)
{
    const std::string ini = ".ini";
    return choice.find('/') != std::string::npos ||
           (choice.size() >= ini.size() &&
            strcasecmp(choice.c_str() + choice.size() - ini.size(), ini.c_str()) == 0);
}

std::string chooseMotor(const std::string &choice, MotorParams &motor)
{
    if (namesFile(choice))
        return readMotorFile(choice, motor);
    if (const MotorParams *preset = findPreset(choice)) {
        motor = *preset;
        return {};
    }
    return "no hay ningún motor llamado «" + choice + "». Los motores son " + motorNames() +
           "; o dé un FICHERO.ini con las cifras del suyo.";
}

}  // namespace model
