#include "tracefile.h"
#include "decimal.h"
#include "fd.h"
#include "printable.h"
#include "reason.h"
#include "tracetext.h"
#include "vcd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <vector>

namespace traffic {

namespace {

constexpr unsigned long long kMost = ~0ULL;
constexpr long long kLargest = 1LL << 32;  // bytes: a trace this long is hours of traffic
constexpr std::size_t kChunk = 1 << 20;    // read a megabyte at a time
// No write of a trace is this long: a longer line is a file's own, or a
// dump's words, taken as they come rather than held whole.
constexpr std::size_t kLongestLine = 1 << 16;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string shown(std::string_view text)
{
    return "«" + printable(text.substr(0, 60)) + (text.size() > 60 ? "…»" : "»");
}

std::string backwards(const std::string &name, const std::string &where, unsigned long long time,
                      unsigned long long before)
{
    return name + ": el tiempo va hacia atrás " + where + " (" + std::to_string(time) + " después de " +
           std::to_string(before) + "). Una traza tiene sus tiempos en orden; ¿se juntaron dos trazas, o es "
           "de dos arranques del ordenador? Analice cada parte por separado.";
}

// No clock of a machine reads past kLatest: such a time is a slip of a hand,
// and would leave no room to run the model on after it.
std::string noClock(const std::string &name, unsigned long long time)
{
    return name + ": el tiempo " + std::to_string(time) + " (en ns) no es de ningún reloj; ¿se editó a mano? "
                  "Corrija o quite esa línea.";
}

// The library's text trace: "<t> <address> <value>" a line. A line that does
// not start with a figure is a file's own text (the trace appends to what a
// file holds) or a note another program added between two runs, and is passed
// over wherever it is; after the first write, a line that starts with a
// figure must be a write.
class TextTrace {
public:
    TextTrace(const std::string &name, WriteLog &writes) : name_(name), writes_(writes) {}

    // The `number`th line; `whole` false when it was too long to be a write.
    std::string line(std::string_view line, long number, bool whole)
    {
        if (line.find_first_not_of(" \t\r") == std::string_view::npos)
            return {};
        TraceLine write;
        if (!whole || !readTraceLine(line, write)) {
            const char first = line[line.find_first_not_of(" \t\r")];
            if (!any_ || first < '0' || first > '9')
                return {};
            return name_ + ": la línea " + std::to_string(number) + " no es una escritura del puerto («tiempo "
                   "dirección valor»): " + shown(line) + ".";
        }
        if (any_ && write.time < last_)
            return backwards(name_, "en la línea " + std::to_string(number), write.time, last_);
        any_ = true;
        last_ = write.time;
        if (write.address != kDataPort)
            return {};
        if (write.time > kLatest)
            return noClock(name_, write.time);
        writes_.push({write.time, int(write.value & 3)});
        return {};
    }

    std::string finish() const
    {
        if (!any_)
            return notATrace(name_);
        if (writes_.empty())
            return name_ + " es una traza, pero sin ninguna escritura en el puerto 888.";
        return {};
    }

    static std::string notATrace(const std::string &name)
    {
        return name + " no es una traza del puerto: no tiene líneas «tiempo 888 valor» como las de PARPORT_TRACE, ni "
                      "es un volcado VCD.";
    }

private:
    const std::string &name_;
    WriteLog &writes_;
    bool any_ = false;
    unsigned long long last_ = 0;
};

// A value change dump, its words as they come: the two wires by their names,
// the changes at each time taken as one write.
class Dump {
public:
    Dump(const std::string &name, WriteLog &writes) : name_(name), writes_(writes) {}

    std::string word(std::string_view word)
    {
        switch (state_) {
        case State::Header:
            if (word.front() != '$')
                return name_ + " no es un volcado VCD válido: " + shown(word) + " antes de $enddefinitions.";
            command_ = word;
            words_.clear();
            state_ = State::Command;
            return {};
        case State::Command:
            if (word == "$end")
                return command();
            // A $var's or a $timescale's few words; any other command's are passed over.
            if (words_.size() <= kCommandWords)
                words_.emplace_back(word);
            return {};
        case State::Comment:
            if (word == "$end")
                state_ = State::Body;
            return {};
        case State::Identifier:
            state_ = State::Body;
            change(kind_, level_, word);
            return {};
        case State::Body:
            break;
        }
        const char kind = word.front();
        if (kind == '#')
            return time(word);
        if (word == "$comment")
            state_ = State::Comment;
        if (kind == '$')  // $dumpvars, $dumpall, $dumpon, $dumpoff and their $end: the changes inside count
            return {};
        if (kind == 'b' || kind == 'B' || kind == 'r' || kind == 'R') {
            kind_ = kind;
            level_ = word.substr(1);
            state_ = State::Identifier;
            return level_.empty() ? cutShort() : std::string();
        }
        if (std::strchr("01xXzZ", kind)) {
            change(kind, word.substr(0, 1), word.substr(1));
            return {};
        }
        return name_ + ": " + shown(word) + " no es un cambio de valor de un volcado VCD.";
    }

    std::string finish()
    {
        if (state_ == State::Header || state_ == State::Command)
            return unfinished();
        if (state_ == State::Comment)
            return name_ + ": un $comment sin $end.";
        if (state_ == State::Identifier)
            return cutShort();
        if (std::string message = emit(); !message.empty())
            return message;
        // A dump whose wires never change has no write to analyse: said, as a trace with none is.
        if (writes_.empty())
            return name_ + " es un volcado VCD sin ningún cambio de " + vcd::kPulseWire + " ni de " +
                   vcd::kDirectionWire + ".";
        return {};
    }

private:
    enum class State { Header, Command, Comment, Identifier, Body };
    static constexpr std::size_t kCommandWords = 8;

    std::string unfinished() const
    {
        return name_ + " parece un volcado VCD, pero acaba antes de $enddefinitions: está incompleto o no es un VCD.";
    }
    std::string cutShort() const { return name_ + ": el volcado acaba a media línea."; }

    // A header command, at its $end.
    std::string command()
    {
        state_ = State::Header;
        if (command_ == "$enddefinitions") {
            if (pulse_.empty() || direction_.empty())
                return name_ + " es un volcado VCD sin " +
                       (pulse_.empty() && direction_.empty()
                            ? std::string("las líneas ") + vcd::kPulseWire + " y " + vcd::kDirectionWire
                        : pulse_.empty() ? std::string("la línea ") + vcd::kPulseWire
                                         : std::string("la línea ") + vcd::kDirectionWire) +
                       ". Dé esos nombres a las señales de paso (bit 0) y dirección (bit 1), como el volcado de "
                       "la biblioteca (PARPORT_TRACE=FICHERO.vcd) y las capturas del simulador.";
            state_ = State::Body;
        } else if (command_ == "$var" && words_.size() >= 4) {
            std::string none;
            std::string &id = words_[3] == vcd::kPulseWire       ? pulse_
                              : words_[3] == vcd::kDirectionWire ? direction_
                                                                 : none;
            if (id.empty())
                id = words_[2];
        } else if (command_ == "$timescale") {
            std::string scale;
            for (const std::string &part : words_)
                scale += part;
            if (words_.size() > kCommandWords || !timescale(scale))
                return name_ + " es un volcado VCD con una escala de tiempo que no se entiende: " + shown(scale) + ".";
        }
        return {};
    }

    bool timescale(const std::string &scale)
    {
        const size_t unit = scale.find_first_not_of("0123456789");
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

    std::string time(std::string_view word)
    {
        size_t at = 1;
        unsigned long long t = 0;
        if (!readDecimal(word, at, t) || at != word.size() || t > kMost / times_)
            return name_ + ": " + shown(word) + " no es un tiempo del volcado.";
        t = t * times_ / per_;
        if (t < time_)
            return backwards(name_, "en " + shown(word), t, time_);
        std::string message = t > time_ ? emit() : std::string();
        time_ = t;
        return message;
    }

    void change(char kind, std::string_view level, std::string_view id)
    {
        const int bit = id == pulse_ ? 1 : id == direction_ ? 2 : 0;
        if (!bit || kind == 'r' || kind == 'R')
            return;
        value_ = level.back() == '1' ? value_ | bit : value_ & ~bit;
        given_ |= bit;
    }

    // The lines as they stand once a time's changes are in, once either has a
    // level and when they differ from the last write.
    std::string emit()
    {
        if (!given_ || value_ == emitted_)
            return {};
        if (time_ > kLatest)
            return noClock(name_, time_);
        writes_.push({time_, value_});
        emitted_ = value_;
        return {};
    }

    const std::string &name_;
    WriteLog &writes_;
    State state_ = State::Header;
    std::string command_;             // the header's command being read
    std::vector<std::string> words_;  // its first words
    char kind_ = 0;                   // a vector's or a real's change, waiting for its identifier
    std::string level_;
    std::string pulse_, direction_;
    unsigned long long times_ = 1, per_ = 1;  // ns = time × times_ / per_
    unsigned long long time_ = 0;
    int value_ = 0, given_ = 0, emitted_ = -1;
};

// A trace's bytes as they come, split into lines for a text trace and words
// for a dump, whichever the first text is. Of a running or killed trace,
// which ends in zero bytes and the library's mark, only the whole lines before
// the first zero byte are the run's.
class Parser {
public:
    Parser(const std::string &name, WriteLog &writes) : name_(name), text_(name, writes), dump_(name, writes) {}

    // Takes the next bytes; false once the rest is not wanted (a message, or the first zero byte).
    bool feed(std::string_view bytes)
    {
        if (ended_ || !message_.empty())
            return false;
        const size_t zero = bytes.find('\0');
        const std::string_view readable = bytes.substr(0, zero);
        size_t from = 0;
        for (size_t end; message_.empty() && (end = readable.find('\n', from)) != std::string_view::npos;
             from = end + 1) {
            if (overlong_) {
                overlong_ = false;
                carry_.clear();
            } else if (carry_.empty()) {
                line(readable.substr(from, end - from));
            } else {
                carry_.append(readable.substr(from, end - from));
                line(carry_);
                carry_.clear();
            }
        }
        if (!message_.empty())
            return false;
        if (zero != std::string_view::npos) {
            ended_ = true;
            return false;
        }
        if (!overlong_)
            carry_.append(readable.substr(from));
        if (carry_.size() > kLongestLine)
            longLine();
        return message_.empty();
    }

    std::string finish()
    {
        if (message_.empty() && !ended_ && !overlong_ && !carry_.empty())
            line(carry_);
        if (!message_.empty())
            return message_;
        return kind_ == Kind::Text ? text_.finish() : kind_ == Kind::Dump ? dump_.finish() : TextTrace::notATrace(name_);
    }

private:
    enum class Kind { Unknown, Text, Dump };

    bool decide(std::string_view text)
    {
        size_t first = 0;
        while (first < text.size() && isBlank(text[first]))
            ++first;
        if (first < text.size())
            kind_ = text[first] == '$' ? Kind::Dump : Kind::Text;
        return kind_ != Kind::Unknown;
    }

    void line(std::string_view text)
    {
        if (kind_ == Kind::Unknown && !decide(text))
            ++number_;
        else if (kind_ == Kind::Text)
            message_ = text_.line(text, ++number_, true);
        else
            words(text);
    }

    void words(std::string_view text)
    {
        for (size_t at = 0; message_.empty();) {
            while (at < text.size() && isBlank(text[at]))
                ++at;
            const size_t from = at;
            while (at < text.size() && !isBlank(text[at]))
                ++at;
            if (at == from)
                return;
            message_ = dump_.word(text.substr(from, at - from));
        }
    }

    // A line past kLongestLine, not yet ended: no write of a text trace; a
    // dump's words so far taken now, all but one that may go on.
    void longLine()
    {
        if (kind_ == Kind::Unknown && !decide(carry_)) {
            carry_.clear();
            return;
        }
        if (kind_ == Kind::Text) {
            message_ = text_.line(carry_, ++number_, false);
            overlong_ = true;
            carry_.clear();
            return;
        }
        size_t last = carry_.size();
        while (last > 0 && !isBlank(carry_[last - 1]))
            --last;
        if (last == 0)
            last = carry_.size();
        words(std::string_view(carry_).substr(0, last));
        carry_.erase(0, last);
    }

    const std::string &name_;
    TextTrace text_;
    Dump dump_;
    Kind kind_ = Kind::Unknown;
    std::string carry_;     // a line begun in the bytes before
    bool overlong_ = false; // a text line too long to be a write, passed over to its end
    bool ended_ = false;    // a zero byte was met
    long number_ = 0;       // lines so far
    std::string message_;
};

}  // namespace

std::string parseTraffic(const std::string &name, std::string_view bytes, WriteLog &writes)
{
    writes = WriteLog();
    Parser parser(name, writes);
    parser.feed(bytes);
    std::string message = parser.finish();
    if (!message.empty())
        writes = WriteLog();
    return message;
}

std::string readTraffic(const std::string &path, WriteLog &writes, const Progress &progress)
{
    writes = WriteLog();
    const std::string name = "El fichero " + printable(path);
    owned::Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        if (err == ENOENT)
            return name + " no existe. Compruebe el nombre y la carpeta.";
        if (err == EACCES)
            return name + " no se puede leer: no tiene permiso para ello.";
        return name + " no se puede abrir: " + reason(err) + ".";
    }
    struct stat status;
    if (fstat(fd.get(), &status) != 0)
        return name + " no se puede examinar: " + reason(errno) + ".";
    if (S_ISDIR(status.st_mode))
        return name + " es una carpeta, no una traza. Indique el fichero de la traza (PARPORT_TRACE) o un "
                      "volcado .vcd.";
    if (!S_ISREG(status.st_mode))
        return name + " no es un fichero normal (es un dispositivo, una tubería o un socket); guarde la traza en un "
                      "fichero y analice ese.";
    if (status.st_size > kLargest)
        return name + " es demasiado grande (" + std::to_string(status.st_size >> 20) + " MiB): analice un trozo.";
    std::string message;
    try {
        Parser parser(name, writes);
        std::vector<char> buffer(kChunk);
        unsigned long long got = 0;
        for (bool wanted = true; wanted;) {
            const ssize_t n = read(fd.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                message = name + " no se pudo leer: " + reason(errno) + ".";
                break;
            }
            if (n == 0)
                break;
            got += static_cast<unsigned long long>(n);
            wanted = parser.feed({buffer.data(), static_cast<size_t>(n)});
            if (progress)
                progress(std::min(1.0, double(got) / double(std::max<off_t>(status.st_size, 1))));
        }
        if (message.empty())
            message = parser.finish();
    } catch (const std::bad_alloc &) {
        message = name + " tiene más escrituras de las que caben en la memoria libre: analice un trozo.";
    }
    if (!message.empty())
        writes = WriteLog();
    return message;
}

}  // namespace traffic
