#include "texts.h"

#include <QLocale>
#include <QStringList>
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

QString motorLine(const Session &session)
{
    const Follower::Following f = session.follower().following();
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

}  // namespace simulador
