#include "tracefile.h"
#include "fd.h"
#include "decimal.h"
#include "tracetext.h"
#include "vcd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string_view>
#include <sys/stat.h>

namespace traffic {

namespace {

constexpr unsigned long long kMost = ~0ULL;
constexpr long long kLargest = 1LL << 32;  // bytes: a trace this long is hours of traffic

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string shown(std::string_view line)
{
    std::string text(line.substr(0, 60));
    for (char &c : text)
        if (static_cast<unsigned char>(c) < ' ')
            c = ' ';
    return "«" + text + (line.size() > 60 ? "…»" : "»");
}

std::string backwards(const std::string &name, const std::string &where, unsigned long long time,
                      unsigned long long before)
{
    return name + ": el tiempo va hacia atrás " + where + " (" + std::to_string(time) + " después de " +
           std::to_string(before) + "). Una traza tiene sus tiempos en orden; ¿se juntaron dos trazas, o es "
           "de dos arranques del ordenador? Analice cada parte por separado.";
}

// The library's text trace: "<t> <address> <value>" a line. Lines before the
// first such line are a file's own (the trace appends to what a file holds);
// after it, every line must be one.
std::string parseText(const std::string &name, std::string_view text, std::vector<PortWrite> &writes)
{
    bool any = false;
    unsigned long long last = 0;
    long number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos)
            continue;
        traffic::TraceLine write;
        if (!traffic::readTraceLine(line, write)) {
            if (!any)
                continue;
            return name + ": la línea " + std::to_string(number) + " no es una escritura del puerto («tiempo "
                   "dirección valor»): " + shown(line) + ".";
        }
        if (any && write.time < last)
            return backwards(name, "en la línea " + std::to_string(number), write.time, last);
        any = true;
        last = write.time;
        if (write.address == traffic::kDataPort)
            writes.push_back({write.time, int(write.value & 3)});
    }
    if (!any)
        return name + " no es una traza del puerto: no tiene líneas «tiempo 888 valor» como las de PARPORT_TRACE, "
                      "ni es un volcado VCD.";
    if (writes.empty())
        return name + " es una traza, pero sin ninguna escritura en el puerto 888.";
    return {};
}

// A value change dump: the two wires by their names, the changes at each time
// taken as one write.
class Dump {
public:
    Dump(const std::string &name, std::string_view text) : name_(name), text_(text) {}

    std::string read(std::vector<PortWrite> &writes)
    {
        std::string message = header();
        while (message.empty() && !(token_ = next()).empty())
            message = change(writes);
        if (!message.empty())
            return message;
        emit(writes);
        if (writes.empty())
            return name_ + " es un volcado VCD sin ningún cambio de " + vcd::kPulseWire + " ni de " +
                   vcd::kDirectionWire + ".";
        return {};
    }

private:
    std::string_view next()
    {
        while (at_ < text_.size() && isBlank(text_[at_]))
            ++at_;
        const size_t from = at_;
        while (at_ < text_.size() && !isBlank(text_[at_]))
            ++at_;
        return text_.substr(from, at_ - from);
    }
    // The rest of a command, up to its $end.
    bool until(std::vector<std::string_view> *words = nullptr)
    {
        for (std::string_view word = next(); !word.empty(); word = next()) {
            if (word == "$end")
                return true;
            if (words)
                words->push_back(word);
        }
        return false;
    }
    std::string unfinished() const
    {
        return name_ + " parece un volcado VCD, pero acaba antes de $enddefinitions: está incompleto o no es un VCD.";
    }

    std::string header()
    {
        for (std::string_view word = next(); !word.empty(); word = next()) {
            std::vector<std::string_view> words;
            if (word.front() != '$')
                return name_ + " no es un volcado VCD válido: " + shown(word) + " antes de $enddefinitions.";
            if (!until(&words))
                return unfinished();
            if (word == "$enddefinitions") {
                if (pulse_.empty() || direction_.empty())
                    return name_ + " es un volcado VCD sin " +
                           (pulse_.empty() && direction_.empty()
                                ? std::string("las líneas ") + vcd::kPulseWire + " y " + vcd::kDirectionWire
                            : pulse_.empty() ? std::string("la línea ") + vcd::kPulseWire
                                             : std::string("la línea ") + vcd::kDirectionWire) +
                           ". Dé esos nombres a las señales de paso (bit 0) y dirección (bit 1), como el volcado de "
                           "la biblioteca (PARPORT_TRACE=FICHERO.vcd) y las capturas del simulador.";
                return {};
            }
            if (word == "$var" && words.size() >= 4) {
                std::string &id = words[3] == vcd::kPulseWire       ? pulse_
                                  : words[3] == vcd::kDirectionWire ? direction_
                                                                    : none_;
                if (id.empty())
                    id = std::string(words[2]);
            } else if (word == "$timescale") {
                std::string scale;
                for (std::string_view part : words)
                    scale += part;
                if (!timescale(scale))
                    return name_ + " es un volcado VCD con una escala de tiempo que no se entiende: «" + scale + "».";
            }
        }
        return unfinished();
    }

    bool timescale(const std::string &scale)
    {
        size_t unit = scale.find_first_not_of("0123456789");
        const std::string figure = scale.substr(0, unit), name = unit == std::string::npos ? "" : scale.substr(unit);
        if (figure != "1" && figure != "10" && figure != "100")
            return false;
        static const std::pair<const char *, long long> kUnits[] = {
            {"s", 1000000000}, {"ms", 1000000}, {"us", 1000}, {"ns", 1}, {"ps", -1000}, {"fs", -1000000}};
        for (const auto &[unitName, ns] : kUnits) {
            if (name != unitName)
                continue;
            times_ = ns > 0 ? ns * std::stoll(figure) : 1;
            per_ = ns > 0 ? 1 : -ns / std::stoll(figure);
            return true;
        }
        return false;
    }

    std::string change(std::vector<PortWrite> &writes)
    {
        const char kind = token_.front();
        if (kind == '#') {
            size_t at = 1;
            unsigned long long t = 0;
            if (!traffic::readDecimal(token_, at, t) || at != token_.size() || t > kMost / times_)
                return name_ + ": " + shown(token_) + " no es un tiempo del volcado.";
            t = t * times_ / per_;
            if (t < time_)
                return backwards(name_, "en " + shown(token_), t, time_);
            if (t > time_)
                emit(writes);
            time_ = t;
            return {};
        }
        if (token_ == "$comment")
            return until() ? std::string() : name_ + ": un $comment sin $end.";
        if (kind == '$')  // $dumpvars, $dumpall, $dumpon, $dumpoff and their $end: the changes inside count
            return {};
        std::string_view id, level;
        if (kind == 'b' || kind == 'B' || kind == 'r' || kind == 'R') {
            level = token_.substr(1);
            id = next();
            if (id.empty() || level.empty())
                return name_ + ": el volcado acaba a media línea.";
        } else if (std::strchr("01xXzZ", kind)) {
            level = token_.substr(0, 1);
            id = token_.substr(1);
        } else {
            return name_ + ": " + shown(token_) + " no es un cambio de valor de un volcado VCD.";
        }
        const int bit = id == pulse_ ? 1 : id == direction_ ? 2 : 0;
        if (bit && kind != 'r' && kind != 'R')
            value_ = level.back() == '1' ? value_ | bit : value_ & ~bit;
        return {};
    }
    // The lines as they stand once a time's changes are in, when they differ from the last write.
    void emit(std::vector<PortWrite> &writes)
    {
        if (value_ != emitted_)
            writes.push_back({time_, value_});
        emitted_ = value_;
    }

    const std::string &name_;
    std::string_view text_;
    size_t at_ = 0;
    std::string_view token_;
    std::string pulse_, direction_, none_;
    unsigned long long times_ = 1, per_ = 1;  // ns = time × times_ / per_
    unsigned long long time_ = 0;
    int value_ = 0;
    int emitted_ = -1;
};

}  // namespace

std::string parseTraffic(const std::string &name, const std::string &text, std::vector<PortWrite> &writes)
{
    writes.clear();
    std::string_view body(text);
    // A running or killed trace ends in zero bytes and the library's mark:
    // only the whole lines before the first zero byte are the run's.
    body = traffic::readableText(body);
    size_t first = 0;
    while (first < body.size() && isBlank(body[first]))
        ++first;
    std::string message =
        first < body.size() && body[first] == '$' ? Dump(name, body).read(writes) : parseText(name, body, writes);
    // No clock of a machine reads past 2^62 ns (146 years): such a time is a
    // slip of a hand, and would leave no room to run the model on after it.
    if (message.empty() && writes.back().time > (1ULL << 62))
        message = name + ": el tiempo " + std::to_string(writes.back().time) + " (en ns) no es de ningún reloj; "
                  "¿se editó a mano? Corrija o quite esa línea.";
    if (!message.empty())
        writes.clear();
    return message;
}

std::string readTraffic(const std::string &path, std::vector<PortWrite> &writes)
{
    const std::string name = "El fichero " + path;
    owned::Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        if (err == ENOENT)
            return name + " no existe. Compruebe el nombre y la carpeta.";
        if (err == EACCES)
            return name + " no se puede leer: no tiene permiso para ello.";
        return name + " no se puede abrir: " + std::strerror(err) + ".";
    }
    struct stat status;
    if (fstat(fd.get(), &status) != 0)
        return name + " no se puede examinar: " + std::strerror(errno) + ".";
    if (S_ISDIR(status.st_mode))
        return name + " es una carpeta, no una traza. Indique el fichero de la traza (PARPORT_TRACE) o un "
                      "volcado .vcd.";
    if (!S_ISREG(status.st_mode))
        return name + " no es un fichero normal (es un dispositivo, una tubería o un socket); guarde la traza en un "
                      "fichero y analice ese.";
    if (status.st_size > kLargest)
        return name + " es demasiado grande (" + std::to_string(status.st_size >> 20) + " MiB): analice un trozo.";
    std::string text;
    try {
        text.resize(size_t(status.st_size));
    } catch (const std::bad_alloc &) {
        return name + " no cabe en la memoria libre: analice un trozo.";
    }
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return name + " no se pudo leer: " + std::strerror(errno) + ".";
        if (n == 0)
            break;
        got += size_t(n);
    }
    text.resize(got);
    try {
        return parseTraffic(name, text, writes);
    } catch (const std::bad_alloc &) {
        writes.clear();
        return name + " tiene más escrituras de las que caben en la memoria libre: analice un trozo.";
    }
}

}  // namespace traffic
