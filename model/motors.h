// The motors the model knows: its presets, one's own from a small INI file,
// and the one way a motor is chosen by what a person gives (a name, or a
// file). No Qt.
#pragma once

#include "stepper.h"

#include <string>
#include <vector>

namespace model {

// The default first: a small 7.5° permanent-magnet motor of the kind hobby
// kits turn at 96 pulses a turn; then a 17HS4401 (a NEMA 17 hybrid) on a
// half-step driver, and the default with a heavy load. Each with its holding
// torque as the model takes it: one phase on, at the board's current.
const std::vector<MotorParams> &motorPresets();
const MotorParams *findPreset(const std::string &name);  // by name, any case; null when none

// A motor of one's own, from a small INI file (see docs/motor-ejemplo.ini):
// one "clave = valor" a line, '#' or ';' comments, an optional [motor] section,
// decimals with a point or a comma. The motor's seven figures are required;
// detent, friction and load are 0 when not given. Returns "" or the message,
// naming the file and, for a bad line, the line.
std::string readMotorFile(const std::string &path, MotorParams &motor);

// The motor a person named: a path (holding a '/', or ending in .ini) is a
// file of one's own, read as readMotorFile() reads it; anything else one of
// motorPresets() by name, in any case. Returns "" and sets `motor`, or the
// message (Spanish): the file's trouble, or, for a name of none of them, the
// names there are.
std::string chooseMotor(const std::string &choice, MotorParams &motor);
// The presets' names, "48pasos, nema17, 48pasos-carga", the default first.
std::string motorNames();
// Whether `choice` names a file rather than a preset.
bool namesFile(const std::string &choice);

}  // namespace model
