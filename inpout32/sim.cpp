// The simulated port: touches no hardware, and keeps the last value written as
// the data lines of a real port would.
#include "backend.h"

namespace inpout {
namespace {

std::string openSim(PortState &port, const std::string &, unsigned short address)
{
    port.device = "puerto simulado";
    port.base = address;
    return {};
}

std::string writeSim(PortState &port, unsigned short, unsigned char value)
{
    port.last = value;
    return {};
}

std::string closeSim(PortState &) { return {}; }

}  // namespace

const Backend simBackend = {"sim", openSim, writeSim, closeSim};

}  // namespace inpout
