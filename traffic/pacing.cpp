#include "pacing.h"

#include <algorithm>
#include <cstdlib>
#include <locale.h>

namespace traffic {

std::string readSlowdown(const char *setting, double &factor)
{
    factor = 1;
    if (!setting || !*setting)
        return {};
    // Digits with at most one full stop, whatever the locale: nothing else.
    const std::string value = setting;
    const bool plain = value.find_first_not_of("0123456789.") == std::string::npos &&
                       value.find_first_of("0123456789") != std::string::npos &&
                       std::count(value.begin(), value.end(), '.') <= 1;
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    const double number = plain ? strtod_l(value.c_str(), nullptr, c) : 0;
    if (number >= 1 && number <= kMostSlowdown) {
        factor = number;
        return {};
    }
    return "La variable PARPORT_SLOWDOWN vale «" + value + "», y debe ser un número de 1 a 100000 (se admiten "
           "decimales con punto, como 2.5): cuántas veces más largo se hace cada intervalo entre dos escrituras. "
           "Corríjala, o quítela para la velocidad de siempre.";
}

bool slowedByEnvironment()
{
    double slowdown = 1;
    return readSlowdown(std::getenv("PARPORT_SLOWDOWN"), slowdown).empty() && slowdown > 1;
}

unsigned long long stretchedGap(unsigned long long gap, double slowdown)
{
    if (slowdown <= 1 || gap > kLongestStretched)
        return gap;
    return std::min(static_cast<unsigned long long>(double(gap) * slowdown), kLongestGap);
}

}  // namespace traffic
