#include "capture.h"
#include "mapped.h"
#include "owned.h"
#include "reason.h"
#include "vcd.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace simulador {

Capture capture(const published::Area &area, unsigned long long from, unsigned long long now)
{
    Capture taken;
    published::Cursor cursor(area, from);
    taken.known = cursor.before(taken.before);
    published::Write write;
    // What was there when the capture began: a writer going on is not chased.
    for (std::uint64_t left = cursor.waiting(); left > 0 && cursor.next(write); --left)
        if (write.time <= now)
            taken.writes.push_back(write);
    taken.lost = cursor.lateStart() || cursor.overrun() > 0;
    return taken;
}

std::string dump(const Capture &capture, const char *date)
{
    std::string text = vcd::header(date, MOTOR_VERSION);
    if (capture.writes.empty())
        return text;
    vcd::Lines lines;
    char buffer[vcd::kWriteMax];
    unsigned long long start = capture.writes.front().time;
    if (capture.known) {
        start = std::max<unsigned long long>(capture.before.time, start > kLead ? start - kLead : 0);
        text.append(buffer, vcd::write(buffer, lines, 0, capture.before.value));
    }
    unsigned long long time = start;
    for (const published::Write &write : capture.writes) {
        time = std::max<unsigned long long>(time, write.time);
        text.append(buffer, vcd::write(buffer, lines, time - start, write.value));
    }
    return text;
}

Target fileAt(const std::string &path)
{
    struct stat status;
    if (path.empty() || stat(path.c_str(), &status) < 0)
        return {};
    const FileId id{published::FileIdentity::of(status), status.st_size};
    return {S_ISREG(status.st_mode) ? Target::Regular : Target::Other, id};
}

Target targetAt(const std::string &path)
{
    Target target = fileAt(path);
    if (target.kind == Target::Regular) {  // not blocking, should it have become a FIFO since
        const owned::Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        target.locked = fd && flock(fd.get(), LOCK_SH | LOCK_NB) < 0 && errno == EWOULDBLOCK;
    }
    return target;
}

Kept keptFiles(const MappedArea &area, const char *trace)
{
    return {{Target::Regular, area.file()}, fileAt(trace ? trace : ""), fileAt(area.path() + ".lock"),
            fileAt(area.path() + ".visor")};
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
           : target.locked ? Refusal::Traced
                           : Refusal::None;
}

namespace {

Saved failed(const QString &message)
{
    std::fprintf(stderr, "simulador: %s\n", qPrintable(message));
    return {false, message};
}

QString nothing(const Asked &asked)
{
    return asked.all ? QStringLiteral("No hay nada que guardar: aún no se ha escrito nada en el puerto.")
                     : QStringLiteral("No hay nada que guardar: en ese intervalo no se escribió nada. Con «2 s (y "
                                      "guardar todo)» se guarda cuanto tiene el anillo.");
}

}  // namespace

Saved savable(const Capture &taken, const Asked &asked)
{
    return taken.writes.empty() ? failed(nothing(asked)) : Saved{true, {}};
}

Saved save(const QString &path, const Capture &taken, const Asked &asked, const Kept &kept)
{
    const auto refuse = [&](const char *why) {
        const QString message = QStringLiteral("No se guardó la captura en %1: %2. Elija otro nombre.");
        return failed(message.arg(path, QString::fromUtf8(why)));
    };
    switch (refusal(taken.writes.size(), targetAt(QFile::encodeName(path).toStdString()), kept)) {
    case Refusal::NothingCaptured:
        return failed(nothing(asked));
    case Refusal::NotAFile:
        return refuse("no es un fichero normal (es una carpeta, una FIFO o un dispositivo)");
    case Refusal::TheArea:
        return refuse("es el área de publicación que lee este simulador, donde publican los programas");
    case Refusal::TheTrace:
        return refuse("es la traza de PARPORT_TRACE, donde escriben los programas");
    case Refusal::ALock:
        return refuse("es un cerrojo del puerto simulado o del simulador");
    case Refusal::Traced:
        return refuse("un programa en marcha escribe en él su traza (PARPORT_TRACE)");
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
        return failed(QStringLiteral("No se pudo guardar la captura en %1: %2. Si ya había un fichero con ese nombre, "
                                     "sigue como estaba. %3")
                          .arg(path, errno ? QString::fromStdString(traffic::reason(errno)) : file.errorString(),
                               errno == EFBIG ? QStringLiteral("Este proceso no puede hacer ficheros tan grandes "
                                                               "(ulimit -f): súbalo, o guarde un intervalo menor.")
                                              : QStringLiteral("Elija otra carpeta o haga sitio en el disco.")));
    const QString what = asked.frozen     ? QStringLiteral(": lo que muestra el diagrama congelado")
                         : asked.lastMove ? QStringLiteral(": el último movimiento, pues el motor está parado")
                                          : QString();
    const QString ring = taken.lost ? QStringLiteral("El anillo ya había perdido escrituras anteriores de ese "
                                                     "intervalo: la captura empieza más tarde.")
                                    : QStringLiteral("El anillo no había perdido ninguna del intervalo.");
    return {true, QStringLiteral("Guardadas %1 escrituras en %2%3. %4").arg(taken.writes.size()).arg(path, what, ring)};
}

}  // namespace simulador
