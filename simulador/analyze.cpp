#include "analyze.h"
#include "chart.h"
#include "clock.h"
#include "following.h"
#include "motors.h"
#include "mapped.h"
#include "printable.h"
#include "reason.h"
#include "tracefile.h"
#include "where.h"

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QSaveFile>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simulador {

using namespace model;
using traffic::printable;
using traffic::readTraffic;

namespace {

// The usage, and where to read more from where the program runs (manCommand).
std::string usage()
{
    return "Uso: simulador --analizar FICHERO [--motor NOMBRE|FICHERO.ini] [--grafico FICHERO.png]\n(más: " +
           manCommand("simulador.1") + ")\n";
}

struct Arguments {
    std::string file, motor, chart;
};

bool endsWith(const std::string &text, const char *end)
{
    const size_t length = std::strlen(end);
    return text.size() >= length && strcasecmp(text.c_str() + text.size() - length, end) == 0;
}

// "" or what is wrong with the arguments.
std::string parse(int argc, char **argv, Arguments &arguments)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i], value;
        const size_t equals = option.find('=');
        const bool joined = option.rfind("--", 0) == 0 && equals != std::string::npos;
        if (joined) {
            value = option.substr(equals + 1);
            option.resize(equals);
        }
        std::string *into = option == "--analizar" ? &arguments.file
                            : option == "--motor"  ? &arguments.motor
                            : option == "--grafico" ? &arguments.chart
                                                    : nullptr;
        if (!into)
            return (argv[i][0] == '-' ? "la opción «" : "el argumento «") + std::string(argv[i]) +
                   "» no va con --analizar";
        if (!joined && i + 1 < argc)
            value = argv[++i];
        if (value.empty() || value.rfind("--", 0) == 0)
            return option + (option == "--motor" ? " pide un NOMBRE o un FICHERO.ini" : " pide un FICHERO");
        if (!into->empty())
            return option + " se dio dos veces";
        *into = value;
    }
    if (!arguments.chart.empty() && !endsWith(arguments.chart, ".png"))
        return "--grafico guarda una imagen PNG: dé un nombre acabado en .png";
    return {};
}

// Says how far the analysis as a whole has gone, and what it is doing, on
// standard error when that is a terminal, once it has taken more than a
// moment. Each part has its share of the whole; the figure never goes back.
class Ticker {
public:
    // What the part from `from` to `to` of the whole tells.
    Progress part(const char *what, double from, double to)
    {
        return [=](double share) { tell(what, from + (to - from) * std::clamp(share, 0.0, 1.0)); };
    }
    void tell(const char *what, double done)
    {
        done_ = std::max(done_, done);
        const unsigned long long now = monotonicNow();
        if (!terminal_ || now - start_ < 1500000000ULL || now - last_ < 200000000ULL)
            return;
        std::fprintf(stderr, "\rsimulador: %-42s %3d %%", (std::string(what) + "…").c_str(), int(100 * done_));
        last_ = now;
        shown_ = true;
    }
    void finish()
    {
        if (shown_)
            std::fprintf(stderr, "\r%70s\r", "");
        shown_ = false;
        terminal_ = false;
    }

private:
    bool terminal_ = isatty(STDERR_FILENO);
    const unsigned long long start_ = monotonicNow();
    unsigned long long last_ = 0;
    double done_ = 0;
    bool shown_ = false;
};

// Writes the chart beside `path` and puts it in its place only when whole, as
// the viewer's captures are saved: a full disk or a file-size limit leaves the
// file that was there as it was. Anything there but a regular file (a folder,
// a FIFO, a device) is left alone: opening a FIFO would wait for a reader.
std::string chartRefused(const std::string &path)
{
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        return "No se guardó el gráfico en " + printable(path) + ": no es un fichero normal (es una carpeta, una "
               "FIFO o un dispositivo). Elija otro nombre.";
    return {};
}

std::string writeChart(const std::string &path, const QByteArray &bytes)
{
    if (std::string refused = chartRefused(path); !refused.empty())
        return refused;
    const std::string where = "No se guardó el gráfico en " + printable(path) + ": ";
    // Past a file-size limit (ulimit -f) the write fails with EFBIG, said, rather than ending the program.
    const mapped::FileSizeGuard guard;
    QSaveFile file(QFile::decodeName(path.c_str()));
    errno = 0;
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() && file.commit())
        return {};
    const int err = errno;
    return where + (err ? traffic::reason(err) : file.errorString().toStdString()) +
           ". Si ya había un fichero con ese nombre, sigue como estaba. " +
           (err == EFBIG    ? "Este proceso no puede hacer ficheros tan grandes (ulimit -f): súbalo."
            : err == ENOSPC ? "El disco está lleno: haga sitio, o guárdelo en otro."
                            : "Compruebe que la carpeta existe y que puede escribir en ella.");
}

std::string saveChart(int argc, char **argv, const Arguments &arguments, const MotorParams &motor,
                      const WriteLog &writes, const QString &summary, const Progress &progress)
{
    ChartRecorder recorder(chartSpans(motor, writes), 1100, writes.front().time, writes.back().time);
    RunOptions options;
    options.observe = [&](const MotorModel &model) { recorder.observe(model); };
    options.nextLook = [&](unsigned long long now) { return recorder.nextLook(now); };
    options.progress = progress;
    runMotor(motor, writes, options);
    // Text needs fonts, and fonts a QGuiApplication: one of its own, drawing
    // off screen and saying nothing. Qt's own remarks would read as the
    // analysis's (with no XDG_RUNTIME_DIR, in a plain shell over ssh or cron,
    // it says it took a folder of its own).
    std::unique_ptr<QGuiApplication> application;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    if (!QGuiApplication::instance()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        application = std::make_unique<QGuiApplication>(argc, argv);
    }
    const QString name = QString::fromStdString(printable(arguments.file.substr(arguments.file.rfind('/') + 1)));
    const QString title = name + QStringLiteral(", motor ") + QString::fromStdString(motor.name);
    const QImage image = drawChart(recorder, title, summary);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return writeChart(arguments.chart, bytes);
}

// A rate as PARPORT_MAXRATE takes it: of two significant figures, so whole from 10 up, else with a decimal
// after a full stop, whatever the locale.
std::string rateText(double rate)
{
    const long tenths = std::lround(rate * 10);
    return tenths % 10 ? std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) : std::to_string(tenths / 10);
}

std::string bands(const StartRate &start)
{
    std::string text;
    for (const auto &[from, to] : start.bands)
        text += (text.empty() ? "" : ", ") + std::to_string(std::lround(from)) +
                (std::lround(from) == std::lround(to) ? "" : "-" + std::to_string(std::lround(to))) + " pasos/s";
    return text.empty() ? "ninguna" : text;
}

}  // namespace

int analyzeCommand(int argc, char **argv)
{
    bool asked = false;
    for (int i = 1; i < argc; ++i)
        asked = asked || !std::strcmp(argv[i], "--analizar") || !std::strncmp(argv[i], "--analizar=", 11);
    if (!asked)
        return -1;
    std::setlocale(LC_MESSAGES, "");  // the system's reasons for a failure, in the person's language
    Arguments arguments;
    if (const std::string wrong = parse(argc, argv, arguments); !wrong.empty()) {
        std::fprintf(stderr, "simulador: %s.\n%s", wrong.c_str(), usage().c_str());
        return 2;
    }
    MotorParams motor = model::motorPresets().front();
    if (!arguments.motor.empty())
        if (const std::string message = model::chooseMotor(arguments.motor, motor); !message.empty()) {
            // A file that can't be read is a file's failure; a name of no motor, a wrong argument.
            const bool file = model::namesFile(arguments.motor);
            std::fprintf(stderr, "simulador: %s\n%s", message.c_str(), file ? "" : usage().c_str());
            return file ? 1 : 2;
        }
    // Said before the work rather than after it.
    if (const std::string refused = chartRefused(arguments.chart); !arguments.chart.empty() && !refused.empty()) {
        std::fprintf(stderr, "simulador: %s\n", refused.c_str());
        return 1;
    }
    // The shares of the whole: reading the file, the run over it, the start
    // rate, the slowdown's search and the chart, as they take about that
    // long for a long trace.
    Ticker ticker;
    const bool chart = !arguments.chart.empty();
    WriteLog writes;
    if (const std::string message = readTraffic(arguments.file, writes, ticker.part("leyendo la traza", 0, 0.2));
        !message.empty()) {
        ticker.finish();
        std::fprintf(stderr, "simulador: %s\n", message.c_str());
        return 1;
    }
    RunOptions options;
    options.progress = ticker.part("simulando el motor con la traza", 0.2, 0.3);
    const Run run = runMotor(motor, writes, options);
    const Advice advice = advise(motor, {}, writes, ticker.part("buscando lo que basta para que lo siga", 0.3,
                                                                chart ? 0.85 : 1));
    const std::string slowdown = advice.slowdown > 0 ? std::to_string(advice.slowdown)
                                 : advice.slowdown == 0 ? "ninguno"
                                                        : "no hallado";
    const std::string rate = advice.rate > 0 ? rateText(advice.rate) : "ninguno";
    std::string chartError;
    if (chart)
        chartError = saveChart(argc, argv, arguments, motor, writes,
                               QStringLiteral("%1 pasos pedidos, %2 dados, %3 perdidos; arranque máximo %4 pasos/s; "
                                              "PARPORT_MAXRATE sugerido: %5; PARPORT_SLOWDOWN sugerido: %6")
                                   .arg(run.pulses).arg(std::lround(run.rotor)).arg(run.lost)
                                   .arg(long(advice.start.rate)).arg(QString::fromStdString(rate))
                                   .arg(QString::fromStdString(slowdown)),
                               ticker.part("dibujando el gráfico", 0.85, 1));
    ticker.finish();
    const std::string report =
        "motor: " + motor.name + "\npasos pedidos: " + std::to_string(run.pulses) + "\npasos dados: " +
        std::to_string(std::lround(run.rotor)) + "\npasos perdidos: " + std::to_string(run.lost) +
        "\narranque máximo: " + std::to_string(long(advice.start.rate)) + " pasos/s\nresonancias: " +
        bands(advice.start) + "\nPARPORT_SLOWDOWN sugerido: " + slowdown + "\nPARPORT_MAXRATE sugerido: " + rate + "\n";
    if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "simulador: no se pudo escribir en la salida estándar: %s.\n",
                     traffic::reason(errno).c_str());
        return 1;
    }
    if (advice.slowdown == 0)
        std::fprintf(stderr, "simulador: ninguna ralentización basta: el motor pierde pasos aun con cada intervalo "
                             "alargado al máximo (0,1 s). Revise la carga y la corriente del motor.\n");
    if (advice.slowdown < 0)
        std::fprintf(stderr, "simulador: la búsqueda del PARPORT_SLOWDOWN se detuvo en su límite de cálculo sin "
                             "hallarlo (este motor tarda mucho en pararse entre pulsos lentos)%s.\n",
                     advice.rate > 0 ? "; PARPORT_MAXRATE sirve en cualquier máquina" : "");
    if (advice.rate == 0)
        std::fprintf(stderr, "simulador: ningún ritmo de 5 pasos/s o más es seguro para este motor: revise su carga "
                             "y su corriente.\n");
    if (!chartError.empty()) {
        std::fprintf(stderr, "simulador: %s\n", chartError.c_str());
        return 1;
    }
    return run.followed() ? 0 : 3;
}

}  // namespace simulador
