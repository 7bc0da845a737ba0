#include "texts.h"

#include <QLocale>
#include <QStringList>
#include <algorithm>
#include <cmath>

namespace simulador {

namespace {

const QLocale spanish(QLocale::Spanish, QLocale::Spain);

}  // namespace

QString programsLine(const AreaFeed &feed, const Session &session)
{
    const QString path = QString::fromStdString(feed.area().path());
    if (feed.state() == AreaFeed::State::Reopened)
        return QStringLiteral("El área de publicación %1 ya no era la que se leía (borrada, sustituida o vaciada): se "
                              "ha vuelto a abrir.").arg(path);
    if (feed.state() == AreaFeed::State::Missing)
        return QStringLiteral("El área de publicación %1 ya no está y no se pudo volver a abrir: se reintenta cada "
                              "segundo.").arg(path);
    QStringList names;
    for (const Program &program : feed.programs())
        names << QStringLiteral("%1 (pid %2)").arg(QString::fromStdString(program.name)).arg(program.pid);
    if (names.empty())
        return QStringLiteral("Ningún programa tiene el puerto abierto: nada escribe en él.");
    return QStringLiteral("Puerto abierto por %1: %2.")
        .arg(names.join(QStringLiteral(", ")),
             session.writing() ? QStringLiteral("escribiendo") : QStringLiteral("sin escribir"));
}

QString positionLine(const Session &session)
{
    // The shaft's own turns, of the motor chosen; the programs' «vuelta» is 96 pulses whatever the motor.
    const long position = session.board().position();
    const int perTurn = session.follower().motor().pulsesPerTurn();
    const QString turns = spanish.toString(double(position) / perTurn, 'f', 2);
    if (perTurn == traffic::kPulsesPerTurn)
        return QStringLiteral("Posición: %1 pasos (%2 vueltas)").arg(position).arg(turns);
    return QStringLiteral("Posición: %1 pasos, %2 vueltas del eje, de %3 pasos (una «vuelta» de los programas es "
                          "de %4: %5)")
        .arg(position)
        .arg(turns)
        .arg(perTurn)
        .arg(traffic::kPulsesPerTurn)
        .arg(spanish.toString(double(position) / traffic::kPulsesPerTurn, 'f', 2));
}

QString speedLine(const Session &session)
{
    const double speed = std::abs(session.speed());
    const int perTurn = session.follower().motor().pulsesPerTurn();
    return QStringLiteral("Velocidad (media de 0,5 s): %1 pasos/s, %2 rpm")
        .arg(spanish.toString(speed, 'f', 0), spanish.toString(speed * 60 / perTurn, 'f', 1));
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

QString senseLine(const Session &session, unsigned long long lost)
{
    const QString behind = QStringLiteral(" (%1 escrituras perdidas por ir atrasado)").arg(lost);
    return QStringLiteral("Sentido: %1").arg(QLatin1String(senseName(session.speed()))) + (lost ? behind : QString());
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

namespace {

// How long ago, as a person says it: in whole seconds, minutes or hours.
QString ago(unsigned long long ns)
{
    const unsigned long long seconds = std::max(1ULL, ns / kSecond);
    if (seconds < 60)
        return QStringLiteral("hace %1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("hace %1 min").arg(seconds / 60);
    return QStringLiteral("hace %1 h").arg(seconds / 3600);
}

}  // namespace

QString motorLine(const Session &session)
{
    const Follower::Following f = session.follower().following();
    if (!f.seen)
        return QStringLiteral("Con este motor aún no ha habido ningún movimiento.");
    const QString pace = spanish.toString(session.pace(), 'f', 0);
    // The rate first: it holds on any machine, and for any setting in use.
    const QString rate =
        f.advice.maxRate ? QStringLiteral("Para que lo siga en cualquier máquina: PARPORT_MAXRATE=%1 (este motor "
                                          "arranca hasta %2 pasos/s).")
                               .arg(f.advice.maxRate)
                               .arg(long(f.advice.startRate))
                         : QStringLiteral("Calculando hasta qué ritmo arranca este motor…");
    // Where the rotor stands: lost steps stay lost, as on a real motor, until the axis is homed.
    const bool behind = f.apart * (session.board().lastSense() ? session.board().lastSense() : 1) > 0;
    const QString apart = QStringLiteral("%1 pasos por %2").arg(std::abs(f.apart)).arg(behind ? "detrás" : "delante");
    if (session.moving() && f.losing)
        return QStringLiteral("El motor pierde pasos: los pulsos llegan a %1 pasos/s. ").arg(pace) + rate;
    if (session.moving() || !f.lost) {
        const QString now = session.moving() ? QStringLiteral(" (%1 pasos/s)").arg(pace) : QString();
        const unsigned long long since = session.now() > f.since ? session.now() - f.since : 0;
        return QStringLiteral("El motor sigue a los pulsos%1").arg(now) +
               (f.apart ? QStringLiteral(", %1 desde %2.").arg(apart, ago(since)) : QStringLiteral("."));
    }
    // The move has ended with steps lost: every slip counts, so a rotor that also slipped back loses more than
    // it was asked for.
    QString line = QStringLiteral("El motor perdió %1 pasos en el último movimiento").arg(f.lost);
    if (f.lost > session.moves().last().steps)
        line += QStringLiteral(" (más de los pedidos: también resbaló hacia atrás)");
    line += (f.apart ? QStringLiteral(" y va %1. ").arg(apart) : QStringLiteral(". ")) + rate;
    const int slowdown = f.advice.slowdown;
    if (slowdown == kNotAsked)
        return line + QStringLiteral(" Calculando cuánto más despacio bastaría en esta máquina…");
    if (slowdown == kNotFound)
        return line + QStringLiteral(" Cuánto más despacio bastaría en esta máquina no se halló en el tiempo que "
                                     "se le da al cálculo.");
    if (!slowdown)
        return line + QStringLiteral(" En esta máquina ningún PARPORT_SLOWDOWN lo haría seguir: revise la carga y "
                                     "la corriente.");
    if (slowdown == 1)  // only where a move too long to keep was followed in its start
        return line;
    // Relative to the writes as they came: the setting the program ran with is not known here.
    return line + QStringLiteral(" Sólo en esta máquina y con su carga de ahora: el PARPORT_SLOWDOWN con que iba, "
                                 "por %1%2.")
                      .arg(slowdown)
                      .arg(f.kept ? QStringLiteral(" (según sus primeros %1)").arg(duration(f.kept)) : QString());
}

QString motorTip()
{
    return QStringLiteral("Aguja roja: el rotor de un motor real, según el modelo. Aguja tenue: donde lo piden los "
                          "pulsos. Los pasos perdidos cuentan cada vez que el rotor resbala un polo (8 pasos), "
                          "adelante o atrás: uno que también resbala hacia atrás pierde más de los que se pidieron. "
                          "Los perdidos no se recuperan: el rotor sigue por detrás en los movimientos siguientes, "
                          "hasta que se ponen las agujas juntas («Igualar», o el menú de la esfera), como al buscar "
                          "el origen del eje en el banco.");
}

QString duration(unsigned long long ns)
{
    if (ns < 1000000)
        return spanish.toString(double(ns) / 1e3, 'f', 0) + QStringLiteral(" µs");
    if (ns < kSecond)
        return spanish.toString(double(ns) / 1e6, 'f', 2) + QStringLiteral(" ms");
    return spanish.toString(double(ns) / 1e9, 'f', 2) + QStringLiteral(" s");
}

}  // namespace simulador
