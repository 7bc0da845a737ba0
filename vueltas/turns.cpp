#include "turns.h"
#include "errors.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace vueltas {

namespace {

bool isDigit(int c) { return c >= '0' && c <= '9'; }

// The decimal point is the full stop whatever the user's locale says.
locale_t cLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    return c;
}

}  // namespace

double readNumber(std::string_view text)
{
    size_t at = 0;
    // The next character that counts, skipping blanks, tabs and line feeds; -1 at the end.
    auto next = [&]() -> int {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n'))
            ++at;
        return at < text.size() ? static_cast<unsigned char>(text[at]) : -1;
    };

    std::string number;
    int c = next();
    if (c == '+' || c == '-') {
        number += static_cast<char>(c);
        ++at;
        c = next();
    }
    bool digits = false;
    bool point = false;
    for (;; c = next()) {
        if (isDigit(c))
            digits = true;
        else if (c == '.' && !point)
            point = true;
        else
            break;
        number += static_cast<char>(c);
        ++at;
    }
    if (!digits)
        return 0.0;
    if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
        std::string exponent = "e";
        ++at;
        c = next();
        if (c == '+' || c == '-') {
            exponent += static_cast<char>(c);
            ++at;
            c = next();
        }
        bool exponentDigits = false;
        for (; isDigit(c); ++at, c = next()) {
            exponent += static_cast<char>(c);
            exponentDigits = true;
        }
        if (exponentDigits)
            number += exponent;
    }
    return strtod_l(number.c_str(), nullptr, cLocale());
}

int pulseCount(std::string_view text)
{
    const std::string typed(text.substr(0, 64));
    char range[256];
    std::snprintf(range, sizeof range,
                  " Escriba un número de vueltas de 0 a %d, con punto decimal (2.5); con 0 o menos no se mueve. El "
                  "motor no se ha movido.", kMaxTurns);
    const double product = readNumber(text) * motor::kPulsesPerTurn;
    if (!std::isfinite(product))
        throw InputError("«" + typed + "» vueltas no dan un número finito de pulsos." + range);
    // The default rounding mode takes halves to the even neighbour.
    const double count = std::nearbyint(product);
    if (count < -32768.0 || count > 32767.0) {
        char pulses[64];
        std::snprintf(pulses, sizeof pulses, "%.15g", count);
        throw InputError("«" + typed + "» vueltas son " + pulses +
                         " pulsos, y un movimiento admite entre -32768 y 32767." + range);
    }
    return static_cast<int>(count);
}

void Turns::arranque()
{
    puerto = motor::kPuerto;
    port_.write(puerto, 0);
}

long Turns::reta() { return port_.delay(kRetaBound); }

void Turns::pulso(motor::Pattern pattern)
{
    port_.write(puerto, pattern.first);
    reta();
    reta();
    port_.write(puerto, pattern.second);
    reta();
    reta();
}

// The counter is wider than the count, so a move of 32767 pulses ends normally.
bool Turns::pulsos(motor::Pattern pattern, int count)
{
    unsigned long long looked = stopRequested ? clock() : 0;
    for (int pulse = 1; pulse <= count; ++pulse) {
        pulso(pattern);
        if (!stopRequested)
            continue;
        const unsigned long long now = clock();
        if (now - looked >= kLook) {
            looked = now;
            if (stopRequested())
                return false;
        }
    }
    return true;
}

void Turns::giro(motor::Pattern pattern)
{
    if (pulsos(pattern, motor::kPulsesPerTurn))
        port_.write(puerto, 0);
}

void Turns::mover(motor::Pattern pattern, std::string_view texto) { pulsos(pattern, pulseCount(texto)); }

void Turns::giroDerecha() { giro(motor::kVueltasRight); }
void Turns::giroIzquierda() { giro(motor::kVueltasLeft); }
void Turns::moverDerecha(std::string_view texto) { mover(motor::kVueltasRight, texto); }
void Turns::moverIzquierda(std::string_view texto) { mover(motor::kVueltasLeft, texto); }
void Turns::salir() { port_.write(puerto, 0); }

}  // namespace vueltas
