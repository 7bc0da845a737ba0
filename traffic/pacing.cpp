#include "pacing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace traffic {

namespace {

// Digits with at most one full stop, whatever the locale: nothing else. NaN
// when `value` is not that.
double plainNumber(const std::string &value)
{
    const bool plain = value.find_first_not_of("0123456789.") == std::string::npos &&
                       value.find_first_of("0123456789") != std::string::npos &&
                       std::count(value.begin(), value.end(), '.') <= 1;
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    return plain ? strtod_l(value.c_str(), nullptr, c) : NAN;
}

std::string range(double least, double most)
{
    return "de " + std::to_string(static_cast<long>(least)) + " a " + std::to_string(static_cast<long>(most));
}

}  // namespace

std::string slowdownRange() { return range(1, kMostSlowdown); }
std::string rateRange() { return range(kLeastRate, kMostRate); }

std::string readSlowdown(const char *setting, double &factor)
{
    factor = 1;
    if (!setting || !*setting)
        return {};
    const double number = plainNumber(setting);
    if (number >= 1 && number <= kMostSlowdown) {
        factor = number;
        return {};
    }
    return "La variable PARPORT_SLOWDOWN vale «" + std::string(setting) + "», y debe ser un número " + slowdownRange() +
           " (se admiten decimales con punto, como 2.5): cuántas veces más largo se hace cada intervalo entre dos "
           "escrituras. Corríjala, o quítela para la velocidad de siempre.";
}

std::string readMaxRate(const char *setting, double &rate)
{
    rate = 0;
    if (!setting || !*setting)
        return {};
    const double number = plainNumber(setting);
    if (number >= kLeastRate && number <= kMostRate) {
        rate = number;
        return {};
    }
    return "La variable PARPORT_MAXRATE vale «" + std::string(setting) + "», y debe ser un número " + rateRange() +
           " (se admiten decimales con punto, como 750.5): los pulsos de paso por segundo que nunca se superan (el "
           "arranque máximo de su motor, con un margen). Corríjala, o quítela para la velocidad de siempre.";
}

std::string readPacing(const char *slowdown, const char *maxRate, Pacing &pacing)
{
    pacing = {};
    std::string message = readSlowdown(slowdown, pacing.slowdown);
    if (message.empty())
        message = readMaxRate(maxRate, pacing.maxRate);
    if (!message.empty())
        pacing = {};
    return message;
}

unsigned long long Pacing::shortestGap() const
{
    return maxRate > 0 ? static_cast<unsigned long long>(std::ceil(1e9 / (2 * maxRate))) : 0;
}

bool slowedByEnvironment()
{
    Pacing pacing;
    return readPacing(std::getenv("PARPORT_SLOWDOWN"), std::getenv("PARPORT_MAXRATE"), pacing).empty() &&
           pacing.slowed();
}

unsigned long long stretchedGap(unsigned long long gap, double slowdown)
{
    if (slowdown <= 1 || gap > kLongestStretched)
        return gap;
    return std::min(static_cast<unsigned long long>(double(gap) * slowdown), kLongestGap);
}

unsigned long long pacedGap(unsigned long long gap, const Pacing &pacing)
{
    return std::max(stretchedGap(gap, pacing.slowdown), pacing.shortestGap());
}

}  // namespace traffic
