#include "session.h"
#include "following.h"
#include "motors.h"
#include "mapped.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace simulador {

using namespace model;

namespace {

// Bounds what the diagram keeps, whatever a program writes.
constexpr std::size_t kKept = 200000;

// The most writes of a move kept for working out its slowdown: some 4.7 s of
// the programs' full speed, 4 MB, and at most a second or so of one core
// for suggestedSlowdown(). A longer move gets the slowdown of its start.
constexpr std::size_t kMoveKept = 1 << 18;

// The rotor is shown this far behind the clock: a write being published as a
// frame reads the clock, read only at the next, must not find the rotor past
// its time (it would be taken as at once after the writes before it).
constexpr unsigned long long kRotorLag = kSecond / 50;

// Thrown from a job's progress to stop it: its slowdown is no longer wanted.
struct GivenUp {};

const QLocale spanish(QLocale::Spanish, QLocale::Spain);

}  // namespace

Target targetAt(const std::string &path)
{
    struct stat status;
    if (path.empty() || stat(path.c_str(), &status) < 0)
        return {};
    const FileId id{published::FileIdentity::of(status), status.st_size};
    return {S_ISREG(status.st_mode) ? Target::Regular : Target::Other, id};
}

Refusal refusal(std::size_t writes, const Target &target, const Kept &kept)
{
    if (!writes)
        return Refusal::NothingCaptured;
    if (target.kind == Target::Missing)
        return Refusal::None;
    if (target.kind == Target::Other)
        return Refusal::NotAFile;
    const auto is = [&](const Target &one) { return one.kind != Target::Missing && one.id.sameFile(target.id); };
    return is(kept.area) ? Refusal::TheArea
           : is(kept.trace) ? Refusal::TheTrace
           : is(kept.portLock) || is(kept.viewerLock) ? Refusal::ALock
                                                       : Refusal::None;
}

owned::Fd openViewer(const std::string &path, bool &alone)
{
    owned::Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    alone = !published::lockedByAnother(fd.get());
    if (fd)
        flock(fd.get(), LOCK_SH);
    return fd;
}

std::string areaName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

Session::Session(MappedArea area, unsigned long long now)
    : area_(std::move(area)), reader_(std::make_unique<PortReader>(area_.area())), checked_(now), now_(now),
      motor_(motorPresets().front()), motorChoice_(motor_.name), model_(motor_)
{
    // The lines as they stand before the viewer saw any write.
    const published::Write last = reader_->before();
    board_.feed(last.value);
    taken_ = takenTime(last.time, 0, now);
    changes_.push_back({taken_, last.value});
    shown_ = frame(now);
    rebuild();
}

Session::~Session() { giveUp(); }

void Session::setEdge(int choice)
{
    const bool falling = std::clamp(choice, 0, kEdgeChoices - 1);
    if (falling != board_.settings.fallingEdge) {
        board_.settings.fallingEdge = falling;
        rebuild();
    }
}

void Session::setLowSense(int choice)
{
    const bool clockwise = !std::clamp(choice, 0, kSenseChoices - 1);
    if (clockwise != board_.settings.lowIsClockwise) {
        board_.settings.lowIsClockwise = clockwise;
        rebuild();
    }
}

void Session::setSpan(int choice) { span_ = std::clamp(choice, 0, kSpanChoices - 1); }

std::string Session::setMotor(const std::string &choice)
{
    MotorParams motor = model::motorPresets().front();
    const bool file = model::namesFile(choice);
    if (const std::string error = model::chooseMotor(choice, motor); !error.empty() && file) {
        std::fprintf(stderr, "simulador: %s\n", error.c_str());
        return error;
    } else if (!error.empty()) {
        motor = model::motorPresets().front();  // a name of none (a hand-edited settings file): the default
    }
    motor_ = motor;
    motorChoice_ = file ? choice : motor.name;
    rebuild();
    return {};
}

void Session::rebuild()
{
    // Both hands stay where the rotor was: a motor changed, or a board that
    // counts its edges otherwise, starts from where the shaft stands.
    turned_ = rotorDegrees();
    giveUp();
    model_ = MotorModel(motor_, board_.settings);
    model_.feed(taken_, lines());
    stretch_ = {{{taken_, lines()}}, false, 0};
    move_ = {};
}

double Session::rotorDegrees() const { return std::fmod(turned_ + model_.rotorDegrees(), 360); }
double Session::commandedDegrees() const { return std::fmod(turned_ + model_.commandedDegrees(), 360); }

Session::Following Session::following() const
{
    if (!move_.seen)
        return {};
    const long lost = model_.lostSteps() - move_.lostBefore;
    return {true, lost, lost ? move_.slowdown : 1, move_.kept};
}

void Session::giveUp()
{
    if (!job_.valid())
        return;
    *giveUp_ = true;
    given_.push_back(std::move(job_));
}

void Session::setFrozen(bool frozen)
{
    frozen_ = frozen;
    frozenChanges_ = frozen ? changes_ : std::deque<Change>();
    frozenBefore_ = before_;
}

void Session::advance(unsigned long long now)
{
    now_ = now;
    checkArea(now);
    for (const published::Write &write : reader_->take())
        take(write, now);
    // What the longest span shows, and the held move whole: a stepless write
    // after a silence (a program's last 0) must not take the move away.
    const Move &move = moves_.last();
    const unsigned long long keep =
        std::min(taken_ > kLongest ? taken_ - kLongest : 0, move.steps ? heldFrom(move) : ~0ULL);
    while (!changes_.empty() && (changes_.size() > kKept || changes_.front().time < keep)) {
        before_ = changes_.front().value;
        changes_.pop_front();
    }
    while (!recent_.empty() && recent_.front().time + kRateWindow < now)
        recent_.pop_front();
    speed_ = stepsPerSecond(recent_, now);
    followMove(now);
    figure(now);
    shown_ = frame(now);
}

void Session::take(const published::Write &write, unsigned long long now)
{
    const unsigned long long previous = taken_;
    const int before = lines();
    taken_ = takenTime(write.time, taken_, now);
    const long steps = board_.steps();
    board_.feed(write.value);
    const bool step = board_.steps() != steps;
    if (step)
        recent_.push_back({taken_, board_.lastSense()});
    const bool fresh = moves_.feed(taken_, step);
    written_.push_back(taken_);
    changes_.push_back({taken_, write.value});
    feedModel(write.value, fresh, step, previous, before);
}

void Session::feedModel(int value, bool fresh, bool step, unsigned long long previous, int before)
{
    model_.advanceTo(taken_);
    if (fresh) {  // after a silence: the move before, if it was the stretch that ended, is over
        if (move_.going && !move_.asked) {
            move_.writes = std::move(stretch_.writes);
            move_.cut = stretch_.cut;
        }
        move_.going = false;
        stretch_ = {{{previous, before}}, false, model_.lostSteps()};
    }
    model_.feed(taken_, value);
    if (stretch_.writes.size() < kMoveKept)
        stretch_.writes.push_back({taken_, value});
    else
        stretch_.cut = true;
    if (step && !move_.going) {
        giveUp();
        move_ = {true, true, stretch_.lostBefore, {}, false, 0, false, -1};
    }
}

void Session::followMove(unsigned long long now)
{
    model_.advanceTo(now > kRotorLag ? now - kRotorLag : 0);
    if (job_.valid() && job_.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
        move_.slowdown = job_.get();
    given_.erase(std::remove_if(given_.begin(), given_.end(),
                                [](const std::future<int> &job) {
                                    return job.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
                                }),
                 given_.end());
    // Once the move has ended and the rotor is at rest, its count is final:
    // then, if it lost any, the slowdown that would have done.
    if (!move_.seen || move_.asked || moves_.moving(now) || !model_.settled() || !following().lost)
        return;
    move_.asked = true;
    std::vector<PortWrite> writes = move_.going ? stretch_.writes : std::move(move_.writes);
    if (move_.going ? stretch_.cut : move_.cut)
        move_.kept = writes.back().time - writes[1].time;
    giveUp_ = std::make_shared<std::atomic<bool>>(false);
    job_ = std::async(std::launch::async, [motor = motor_, writes = std::move(writes), giveUp = giveUp_,
                                           driver = board_.settings] {
        try {
            return suggestedSlowdown(motor, writes, driver, [&](double) {
                if (*giveUp)
                    throw GivenUp{};
            });
        } catch (const GivenUp &) {
            return -1;
        }
    });
}

void Session::figure(unsigned long long now)
{
    while (!written_.empty() && written_.front() + kSecond < taken_)
        written_.pop_front();
    const Move &move = moves_.last();
    if (moves_.moving(now)) {
        // Four times a second: sorting a second of rotacion's writes each
        // frame would take a core's time from the program being watched.
        if (figures_.lastMove || now < figuredAt_ || now - figuredAt_ >= kSecond / 4) {
            figuredAt_ = now;
            figures_ = {gaps(now > kSecond ? now - kSecond : 0, now), false};
        }
    } else if (move.steps && !(figures_.lastMove && figuredMove_ == move.first)) {
        // Once, as the move ends: they stay for a person to read until the next.
        figures_ = {gaps(move.last > kSecond ? move.last - kSecond : 0, move.last), true};
        figuredMove_ = move.first;
    }
}

Regularity Session::gaps(unsigned long long from, unsigned long long to) const
{
    std::vector<unsigned long long> between;
    for (std::size_t i = 1; i < written_.size(); ++i)
        if (written_[i - 1] >= from && written_[i] <= to &&
            written_[i] - written_[i - 1] < kStill)  // a silence between moves is no gap between pulses
            between.push_back(written_[i] - written_[i - 1]);
    return regularity(std::move(between));
}

void Session::checkArea(unsigned long long now)
{
    // A stat a second, not one a frame; a clock that went back (a test's) checks at once.
    if (now >= checked_ && now - checked_ < kSecond)
        return;
    const unsigned long long since = std::min(checked_, now);  // the area was still the one read then
    checked_ = now;
    areaState_ = AreaState::Same;
    if (!area_.changed())
        return;
    std::string error;
    if (area_.map(area_.path(), error)) {
        reader_ = std::make_unique<PortReader>(area_.area(), since);
        areaState_ = AreaState::Reopened;
        areaError_.clear();
        return;
    }
    areaState_ = AreaState::Missing;
    if (error != areaError_)  // said once, not every second
        std::fprintf(stderr, "simulador: %s\n", error.c_str());
    areaError_ = error;
}

Frame Session::frame(unsigned long long now) const { return frozen_ ? shown_ : frameAt(moves_, now, kSpans[span_]); }

Capture Session::capture(const Frame &shown) const { return simulador::capture(area_.area(), shown.from, shown.to); }

Capture Session::capture(unsigned long long now) const { return capture(frame(now)); }

QString Session::nothing() const
{
    return kSpans[span_] ? QStringLiteral("No hay nada que guardar: en ese intervalo no se escribió nada. Con «2 s (y "
                                          "guardar todo)» se guarda cuanto tiene el anillo.")
                         : QStringLiteral("No hay nada que guardar: aún no se ha escrito nada en el puerto.");
}

Session::Saved Session::savable(unsigned long long now) const
{
    if (!capture(now).writes.empty())
        return {true, {}};
    std::fprintf(stderr, "simulador: %s\n", qPrintable(nothing()));
    return {false, nothing()};
}

Session::Saved Session::save(const QString &path, unsigned long long now) const
{
    const auto fail = [](const QString &message) {
        std::fprintf(stderr, "simulador: %s\n", qPrintable(message));
        return Saved{false, message};
    };
    const Frame shown = frame(now);
    const Capture taken = capture(shown);
    const char *trace = std::getenv("PARPORT_TRACE");
    const Kept kept{{Target::Regular, area_.file()}, targetAt(trace ? trace : ""), targetAt(area_.path() + ".lock"),
                    targetAt(area_.path() + ".visor")};
    const auto refuse = [&](const char *why) {
        const QString message = QStringLiteral("No se guardó la captura en %1: %2. Elija otro nombre.");
        return fail(message.arg(path, QString::fromUtf8(why)));
    };
    switch (refusal(taken.writes.size(), targetAt(QFile::encodeName(path).toStdString()), kept)) {
    case Refusal::NothingCaptured:
        return fail(nothing());
    case Refusal::NotAFile:
        return refuse("no es un fichero normal (es una carpeta, una FIFO o un dispositivo)");
    case Refusal::TheArea:
        return refuse("es el área de publicación que lee este simulador, donde publican los programas");
    case Refusal::TheTrace:
        return refuse("es la traza de PARPORT_TRACE, donde escriben los programas");
    case Refusal::ALock:
        return refuse("es un cerrojo del puerto simulado o del simulador");
    case Refusal::None:
        break;
    }
    const QByteArray date = QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8();
    const std::string text = dump(taken, date.constData());
    // Written beside it and put in its place only when whole: a full disk
    // leaves the file that was there as it was. Flushed first, as commit()
    // takes a write cut short in its own flush for a success; the reason is
    // the failed call's, as Qt has none for a short write.
    // Past a file-size limit (ulimit -f) the write fails with EFBIG, said, rather than ending the viewer.
    const mapped::FileSizeGuard guard;
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.flush() || !file.commit())
        return fail(QStringLiteral("No se pudo guardar la captura en %1: %2. Si ya había un fichero con ese nombre, "
                                   "sigue como estaba. %3")
                        .arg(path, errno ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString(),
                             errno == EFBIG ? QStringLiteral("Este proceso no puede hacer ficheros tan grandes "
                                                             "(ulimit -f): súbalo, o guarde un intervalo menor.")
                                            : QStringLiteral("Elija otra carpeta o haga sitio en el disco.")));
    const bool held = !frozen_ && shown.held;
    const QString what = frozen_                 ? QStringLiteral(": lo que muestra el diagrama congelado")
                         : held && kSpans[span_] ? QStringLiteral(": el último movimiento, pues el motor está parado")
                                                 : QString();
    const QString ring = taken.lost ? QStringLiteral("El anillo ya había perdido escrituras anteriores de ese "
                                                     "intervalo: la captura empieza más tarde.")
                                    : QStringLiteral("El anillo no había perdido ninguna del intervalo.");
    return {true, QStringLiteral("Guardadas %1 escrituras en %2%3. %4").arg(taken.writes.size()).arg(path, what, ring)};
}

QString programsLine(const Session &session)
{
    const QString path = QString::fromStdString(session.area().path());
    if (session.areaState() == Session::AreaState::Reopened)
        return QStringLiteral("El área de publicación %1 ya no era la que se leía (borrada, sustituida o vaciada): se "
                              "ha vuelto a abrir.").arg(path);
    if (session.areaState() == Session::AreaState::Missing)
        return QStringLiteral("El área de publicación %1 ya no está y no se pudo volver a abrir: se reintenta cada "
                              "segundo.").arg(path);
    QStringList names;
    for (const Program &program : session.programs())
        names << QStringLiteral("%1 (pid %2)").arg(QString::fromStdString(program.name)).arg(program.pid);
    if (names.empty())
        return QStringLiteral("Ningún programa tiene el puerto abierto: nada escribe en él.");
    return QStringLiteral("Puerto abierto por %1: %2.")
        .arg(names.join(QStringLiteral(", ")),
             session.writing() ? QStringLiteral("escribiendo") : QStringLiteral("sin escribir"));
}

QString positionLine(const Session &session)
{
    const long position = session.board().position();
    return QStringLiteral("Posición: %1 pasos (%2 vueltas)")
        .arg(position)
        .arg(spanish.toString(double(position) / traffic::kPulsesPerTurn, 'f', 2));
}

QString speedLine(const Session &session)
{
    const double speed = std::abs(session.speed());
    return QStringLiteral("Velocidad (media de 0,5 s): %1 pasos/s, %2 rpm")
        .arg(spanish.toString(speed, 'f', 0), spanish.toString(speed * 60 / traffic::kPulsesPerTurn, 'f', 1));
}

QString figuresLine(const Session &session)
{
    const Regularity &r = session.figures().regularity;
    if (!r.gaps)
        return {};
    const auto figure = [&](unsigned long long ns) {
        return QStringLiteral("%1 (%2×)").arg(duration(ns), spanish.toString(r.times(ns), 'f', 1));
    };
    // Those of a move that ended no longer say "between writes": the line stays within its three.
    return QStringLiteral("Huecos %1: mediana %2; 99 %: %3; 99,9 %: %4; el más largo %5; %6 de %7 pasan del doble de "
                          "la mediana")
        .arg(session.figures().lastMove ? QStringLiteral("en el último segundo del último movimiento")
                                        : QStringLiteral("entre escrituras en el último segundo"),
             duration(r.median), figure(r.p99), figure(r.p999), figure(r.longest))
        .arg(r.overTwice)
        .arg(r.gaps);
}

QString irregularLine(const Session &session)
{
    const Regularity &r = session.figures().regularity;
    return r.gaps && r.irregular() ? QStringLiteral("Pulsos irregulares: un hueco mucho más largo que sus vecinos es "
                                                    "un paro y un arranque instantáneo del motor, y así se pierden "
                                                    "pasos. Ayuda cerrar otros programas, un PARPORT_SLOWDOWN mayor o "
                                                    "un equipo con un núcleo libre.")
                                   : QString();
}

QString moveLine(const Session &session)
{
    const Move &move = session.moves().last();
    if (!move.steps)
        return QStringLiteral("Último movimiento: ninguno visto aún");
    // The move's own rate: a turn of a few milliseconds is thousands of
    // steps a second, however little of the half second it fills.
    const QString rate = move.last > move.first
                             ? QStringLiteral(", %1 pasos/s").arg(spanish.toString(move.stepsPerSecond(), 'f', 0))
                             : QString();
    return QStringLiteral("%1: %2 %3 en %4%5")
        .arg(session.moving() ? QStringLiteral("Movimiento en curso") : QStringLiteral("Último movimiento"))
        .arg(move.steps)
        .arg(move.steps == 1 ? QStringLiteral("paso") : QStringLiteral("pasos"), duration(move.last - move.first),
             rate);
}

QString senseLine(const Session &session)
{
    const QString lost = QStringLiteral(" (%1 escrituras perdidas por ir atrasado)").arg(session.lost());
    return QStringLiteral("Sentido: %1").arg(QLatin1String(senseName(session.speed()))) +
           (session.lost() ? lost : QString());
}

QString ruleLine(const Session &session)
{
    const BoardSettings &rule = session.board().settings;
    return QStringLiteral("En vigor: un paso en cada flanco de %1 del bit 0; bit 1 a 0: %2, a 1: %3.")
        .arg(QLatin1String(rule.fallingEdge ? "bajada" : "subida"),
             QLatin1String(rule.lowIsClockwise ? "horario" : "antihorario"),
             QLatin1String(rule.lowIsClockwise ? "antihorario" : "horario"));
}

QString caption(const Session &session)
{
    const Frame &shown = session.shown();
    const QString held = shown.held ? QStringLiteral("motor parado: su último movimiento (el diagrama abarca %1)")
                                          .arg(duration(shown.end - shown.start))
                                    : QString();
    if (!session.frozen())
        return held;
    return QStringLiteral("congelado") + (held.isEmpty() ? held : QStringLiteral("; ") + held);
}

QString motorLine(const Session &session)
{
    const Session::Following f = session.following();
    if (!f.seen)
        return QStringLiteral("Con este motor aún no ha habido ningún movimiento.");
    if (!f.lost)
        return QStringLiteral("El motor sigue a los pulsos.");
    const QString lost = QStringLiteral("El motor ha perdido %1 pasos desde que empezó el movimiento. ").arg(f.lost);
    if (session.moving())
        return lost + QStringLiteral("Al acabar se calculará el PARPORT_SLOWDOWN que lo haría seguir.");
    if (f.slowdown < 0)
        return lost + QStringLiteral("Calculando el PARPORT_SLOWDOWN que lo haría seguir…");
    if (!f.slowdown)
        return lost + QStringLiteral("Ningún PARPORT_SLOWDOWN lo haría seguir: revise la carga y la corriente.");
    // The writes as they came: a program already slowed needs that many times its own.
    return lost + QStringLiteral("Lo habría seguido con PARPORT_SLOWDOWN=%1, el menor que basta%2 (si el programa ya "
                                 "llevaba uno: %1 veces el suyo).")
                      .arg(f.slowdown)
                      .arg(f.kept ? QStringLiteral(" en sus primeros ") + duration(f.kept) : QString());
}

QString duration(unsigned long long ns)
{
    if (ns < 1000000)
        return spanish.toString(double(ns) / 1e3, 'f', 0) + QStringLiteral(" µs");
    if (ns < kSecond)
        return spanish.toString(double(ns) / 1e6, 'f', 2) + QStringLiteral(" ms");
    return spanish.toString(double(ns) / 1e9, 'f', 2) + QStringLiteral(" s");
}

QString captureFolder()
{
    const QString last = QSettings().value(QStringLiteral("carpeta")).toString();
    for (const QString &folder : {last, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)})
        if (QDir::isAbsolutePath(folder) && QFileInfo(folder).isDir())
            return folder;
    return QDir::homePath();
}

QPoint cascaded(const QRect &window, const QRect &free)
{
    // 32 pixels left and down, wrapping round within the free area: away from the programs at its top
    // left, and clear of the last few viewers' places.
    const auto step = [](int at, int from, int room, int by) {
        const int places = std::max(0, room) + 1;
        return from + ((at - from + by) % places + places) % places;
    };
    return {step(window.left(), free.left(), free.width() - window.width(), -32),
            step(window.top(), free.top(), free.height() - window.height(), 32)};
}

}  // namespace simulador
