#include "window.h"
#include "capture.h"
#include "clock.h"
#include "regularity.h"
#include "widgets.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace simulador {

namespace {

// The room the regularity lines take below the speed: what is under them moves down by it.
constexpr int kBelow = 96;

// Where the pulses are irregular: what it means for a motor, and what helps.
const QString kIrregular = QStringLiteral("Pulsos irregulares: un hueco mucho más largo que sus vecinos es un paro y un "
                                          "arranque instantáneo del motor, y así se pierden pasos. Ayuda cerrar otros "
                                          "programas, un PARPORT_SLOWDOWN mayor o un equipo con un núcleo libre.");

// A length of time as a person reads it, in the unit that suits it.
QString duration(unsigned long long ns)
{
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    if (ns < 1000000)
        return spanish.toString(double(ns) / 1e3, 'f', 0) + QStringLiteral(" µs");
    if (ns < kSecond)
        return spanish.toString(double(ns) / 1e6, 'f', 2) + QStringLiteral(" ms");
    return spanish.toString(double(ns) / 1e9, 'f', 2) + QStringLiteral(" s");
}

template <class Widget, class... Args>
Widget *at(QWidget *parent, const char *name, int x, int y, int w, int h, Args &&...args)
{
    auto *widget = new Widget(std::forward<Args>(args)..., parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

}  // namespace

SimuladorWindow::SimuladorWindow(MappedArea &area, QWidget *parent)
    : QWidget(parent), area_(area), reader_(std::make_unique<PortReader>(area.area()))
{
    setWindowTitle(QStringLiteral("Simulador de la placa del motor de pasos"));
    resize(720, 504 + kBelow);
    setMinimumSize(size());

    dial_ = at<Dial>(this, "dial", 10, 10, 260, 260);
    program_ = at<QLabel>(this, "programa", 290, 10, 420, 40);
    program_->setWordWrap(true);
    program_->setTextFormat(Qt::PlainText);  // names and paths from the area, not markup
    position_ = at<QLabel>(this, "posicion", 290, 54, 420, 22);
    speed_ = at<QLabel>(this, "velocidad", 290, 76, 420, 22);
    regularity_ = at<QLabel>(this, "regularidad", 290, 98, 420, 50);
    regularity_->setWordWrap(true);
    irregular_ = at<QLabel>(this, "irregular", 290, 148, 420, 44);
    irregular_->setWordWrap(true);
    move_ = at<QLabel>(this, "movimiento", 290, 98 + kBelow, 420, 22);
    sense_ = at<QLabel>(this, "sentido", 290, 120 + kBelow, 420, 22);
    pulseLamp_ = at<Lamp>(this, "lamparaPulso", 290, 147 + kBelow, 18, 18, QColor(0xf1, 0xc4, 0x0f));
    at<QLabel>(this, "etiquetaPulso", 316, 145 + kBelow, 390, 22, QStringLiteral("Pulso: bit 0, pin 2 del DB-25"));
    directionLamp_ = at<Lamp>(this, "lamparaDireccion", 290, 170 + kBelow, 18, 18, QColor(0x2e, 0xcc, 0x71));
    at<QLabel>(this, "etiquetaDireccion", 316, 168 + kBelow, 390, 22, QStringLiteral("Dirección: bit 1, pin 3 del DB-25"));

    at<QLabel>(this, "etiquetaFlanco", 290, 196 + kBelow, 170, 24, QStringLiteral("La placa da el paso en el"));
    edge_ = at<QComboBox>(this, "flanco", 466, 196 + kBelow, 240, 24);
    edge_->addItems({QStringLiteral("flanco de subida (0 → 1)"), QStringLiteral("flanco de bajada (1 → 0)")});
    at<QLabel>(this, "etiquetaSentido", 290, 226 + kBelow, 170, 24, QStringLiteral("Con la dirección a 0 gira"));
    lowSense_ = at<QComboBox>(this, "sentidoBajo", 466, 226 + kBelow, 240, 24);
    lowSense_->addItems({QStringLiteral("en sentido horario"), QStringLiteral("en sentido antihorario")});
    inForce_ = at<QLabel>(this, "enVigor", 290, 254 + kBelow, 420, 34);
    inForce_->setWordWrap(true);

    at<QLabel>(this, "etiquetaDiagrama", 10, 328 + kBelow, 250, 24, QStringLiteral("Las líneas del puerto en los últimos"));
    span_ = at<QComboBox>(this, "intervalo", 262, 328 + kBelow, 156, 24);
    span_->addItems({QStringLiteral("1 ms"), QStringLiteral("10 ms"), QStringLiteral("100 ms"), QStringLiteral("1 s"),
                     QStringLiteral("2 s (y guardar todo)")});
    freeze_ = at<QPushButton>(this, "congelar", 426, 327 + kBelow, 110, 26, QStringLiteral("Congelar"));
    freeze_->setCheckable(true);
    freeze_->setToolTip(QStringLiteral("Deja el diagrama como está, y la captura con él, hasta que se vuelva a pulsar."));
    auto *save = at<QPushButton>(this, "guardarCaptura", 544, 327 + kBelow, 166, 26, QStringLiteral("Guardar captura…"));
    save->setToolTip(QStringLiteral("Guarda lo que muestra el diagrama (con el motor parado, su último movimiento; con "
                                    "«guardar todo», cuanto guarda el anillo) como volcado VCD, para PulseView, "
                                    "sigrok-cli o GTKWave."));
    auto *note = at<QLabel>(this, "nota", 290, 290 + kBelow, 420, 32,
                            QStringLiteral("vueltas y rotacion dan a la línea de dirección niveles opuestos para "
                                           "el mismo nombre: su «derecha» gira aquí en sentidos contrarios."));
    note->setWordWrap(true);
    QFont small = note->font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    note->setFont(small);
    irregular_->setFont(small);
    timing_ = at<TimingDiagram>(this, "diagrama", 10, 358 + kBelow, 700, 138);

    // The options as they were left, each within its choices whatever the file says.
    QSettings settings;
    const auto restore = [&](QComboBox *box, const char *key, int usual) {
        box->setCurrentIndex(std::clamp(settings.value(QLatin1String(key), usual).toInt(), 0, box->count() - 1));
    };
    restore(edge_, "flanco", 0);
    restore(lowSense_, "sentidoBajo", 0);
    restore(span_, "intervalo", 1);
    if (!restoreGeometry(settings.value(QStringLiteral("geometria")).toByteArray()))
        placeAtFirst();

    connect(edge_, &QComboBox::currentIndexChanged, this, &SimuladorWindow::settingsChanged);
    connect(lowSense_, &QComboBox::currentIndexChanged, this, &SimuladorWindow::settingsChanged);
    connect(freeze_, &QPushButton::toggled, this, [this](bool frozen) {
        timing_->setFrozen(frozen);
        timing_->setView(shown_.start, shown_.end, caption());
    });
    connect(save, &QPushButton::clicked, this, &SimuladorWindow::saveCapture);
    settingsChanged();

    // The lines as they stand before the viewer saw any write.
    const published::Write last = reader_->last();
    board_.feed(last.value);
    taken_ = takenTime(last.time, 0, monotonicNow());
    timing_->add(taken_, last.value);

    // Redraw at the screen's rate, not per write.
    timer_ = new QTimer(this);
    const qreal hz = screen() && screen()->refreshRate() > 1 ? screen()->refreshRate() : 60;
    timer_->setInterval(int(1000 / hz));
    connect(timer_, &QTimer::timeout, this, [this] { frame(); });
    timer_->start();
    frame();
    freeze_->setChecked(settings.value(QStringLiteral("congelado"), false).toBool());
}

void SimuladorWindow::placeAtFirst()
{
    // The programs open where the window manager puts a new window: the top
    // left corner under most, or the first free place. The viewer takes the
    // top right corner (its frame allowed for), so on a screen wide enough for
    // both it covers neither.
    if (const QScreen *room = screen()) {
        const QRect free = room->availableGeometry();
        move(std::max(free.left(), free.right() + 1 - width() - 12), free.top());
    }
}

void SimuladorWindow::resizeEvent(QResizeEvent *event)
{
    // The diagram takes the room the window gains; the rest keeps its place.
    timing_->setGeometry(10, 358 + kBelow, width() - 20, height() - 366 - kBelow);
    QWidget::resizeEvent(event);
}

void SimuladorWindow::closeEvent(QCloseEvent *event)
{
    QSettings settings;
    settings.setValue(QStringLiteral("flanco"), edge_->currentIndex());
    settings.setValue(QStringLiteral("sentidoBajo"), lowSense_->currentIndex());
    settings.setValue(QStringLiteral("intervalo"), span_->currentIndex());
    settings.setValue(QStringLiteral("congelado"), freeze_->isChecked());
    settings.setValue(QStringLiteral("geometria"), saveGeometry());
    QWidget::closeEvent(event);
}

void SimuladorWindow::settingsChanged()
{
    board_.settings.fallingEdge = edge_->currentIndex() == 1;
    board_.settings.lowIsClockwise = lowSense_->currentIndex() == 0;
    inForce_->setText(QStringLiteral("En vigor: un paso en cada flanco de %1 del bit 0; bit 1 a 0: %2, a 1: %3.")
                          .arg(board_.settings.fallingEdge ? "bajada" : "subida")
                          .arg(board_.settings.lowIsClockwise ? "horario" : "antihorario")
                          .arg(board_.settings.lowIsClockwise ? "antihorario" : "horario"));
}

void SimuladorWindow::frame(unsigned long long now)
{
    if (!now)
        now = monotonicNow();
    checkArea(now);
    for (const published::Write &write : reader_->take()) {
        taken_ = takenTime(write.time, taken_, now);
        const long before = board_.steps();
        board_.feed(write.value);
        const bool step = board_.steps() != before;
        if (step)
            recent_.push_back({taken_, board_.lastSense()});
        moves_.feed(taken_, step);
        written_.push_back(taken_);
        timing_->add(taken_, write.value);
    }
    while (!recent_.empty() && recent_.front().time + kRateWindow < now)
        recent_.pop_front();
    const double speed = stepsPerSecond(recent_, now);
    showRegularity(now);

    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    const std::vector<Program> programs = reader_->programs();
    if (!notice_.isEmpty()) {
        program_->setText(notice_);
    } else if (programs.empty()) {
        program_->setText(QStringLiteral("Ningún programa tiene el puerto abierto: nada escribe en él."));
    } else {
        QStringList names;
        for (const Program &program : programs)
            names << QStringLiteral("%1 (pid %2)").arg(QString::fromStdString(program.name)).arg(program.pid);
        const bool writing = taken_ + kSecond > now;
        program_->setText(QStringLiteral("Puerto abierto por %1: %2.")
                              .arg(names.join(QStringLiteral(", ")),
                                   writing ? QStringLiteral("escribiendo") : QStringLiteral("sin escribir")));
    }
    position_->setText(QStringLiteral("Posición: %1 pasos (%2 vueltas)")
                           .arg(board_.position())
                           .arg(spanish.toString(double(board_.position()) / kStepsPerTurn, 'f', 2)));
    speed_->setText(QStringLiteral("Velocidad (media de 0,5 s): %1 pasos/s, %2 rpm")
                        .arg(spanish.toString(std::abs(speed), 'f', 0))
                        .arg(spanish.toString(std::abs(speed) * 60 / kStepsPerTurn, 'f', 1)));
    // The last move's own rate: a turn of a few milliseconds is thousands of
    // steps a second, however little of the half second it fills.
    const Move &move = moves_.last();
    const QString rate = move.last > move.first
                             ? QStringLiteral(", %1 pasos/s").arg(spanish.toString(move.stepsPerSecond(), 'f', 0))
                             : QString();
    move_->setText(!move.steps ? QStringLiteral("Último movimiento: ninguno visto aún")
                               : QStringLiteral("%1: %2 %3 en %4%5")
                                     .arg(moves_.still(now) ? QStringLiteral("Último movimiento")
                                                            : QStringLiteral("Movimiento en curso"))
                                     .arg(move.steps)
                                     .arg(move.steps == 1 ? QStringLiteral("paso") : QStringLiteral("pasos"),
                                          duration(move.last - move.first), rate));
    sense_->setText(QStringLiteral("Sentido: %1").arg(QLatin1String(senseName(speed))) +
                    (reader_->lost() ? QStringLiteral(" (%1 escrituras perdidas por ir atrasado)").arg(reader_->lost()) : QString()));
    dial_->setAngle(board_.angle());
    pulseLamp_->setLit(board_.pulse());
    directionLamp_->setLit(board_.direction());
    if (!freeze_->isChecked())
        shown_ = frameAt(moves_, now, span());
    timing_->setView(shown_.start, shown_.end, caption());
}

void SimuladorWindow::showRegularity(unsigned long long now)
{
    while (!written_.empty() && written_.front() + kSecond < now)
        written_.pop_front();
    if (moves_.still(now)) {
        regularity_->clear();
        irregular_->clear();
        return;
    }
    // Four times a second: sorting a second of rotacion's writes each frame
    // would take a core's time from the program being watched.
    if (now >= regularityAt_ && now - regularityAt_ < kSecond / 4)
        return;
    regularityAt_ = now;
    std::vector<unsigned long long> gaps;
    for (std::size_t i = 1; i < written_.size(); ++i)
        if (written_[i] - written_[i - 1] < kStill)  // a silence between moves is no gap between pulses
            gaps.push_back(written_[i] - written_[i - 1]);
    if (gaps.empty())
        return;
    const Regularity r = regularity(std::move(gaps));
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    const auto figure = [&](unsigned long long ns) {
        return QStringLiteral("%1 (%2×)").arg(duration(ns), spanish.toString(r.times(ns), 'f', 1));
    };
    regularity_->setText(QStringLiteral("Huecos entre escrituras en el último segundo: mediana %1; 99 %: %2; "
                                        "99,9 %: %3; el más largo %4; %5 de %6 pasan del doble de la mediana")
                             .arg(duration(r.median), figure(r.p99), figure(r.p999), figure(r.longest))
                             .arg(r.overTwice)
                             .arg(r.gaps));
    irregular_->setText(r.irregular() ? kIrregular : QString());
}

QString SimuladorWindow::caption() const
{
    QString text = shown_.held ? QStringLiteral("motor parado: su último movimiento (el diagrama abarca %1)")
                                     .arg(duration(shown_.end - shown_.start))
                               : QString();
    return freeze_->isChecked() ? QStringLiteral("congelado") + (text.isEmpty() ? text : "; " + text) : text;
}

void SimuladorWindow::checkArea(unsigned long long now)
{
    // A stat a second, not one a frame; a clock that went back (a test's) checks at once.
    if (now >= checked_ && now - checked_ < kSecond)
        return;
    const unsigned long long since = std::min(checked_, now);  // the area was still the one read then
    checked_ = now;
    notice_.clear();
    program_->setToolTip(QString());
    if (!area_.changed())
        return;
    const QString path = QString::fromStdString(area_.path());
    std::string error;
    if (area_.map(area_.path(), error)) {
        reader_ = std::make_unique<PortReader>(area_.area(), since);
        notice_ = QStringLiteral("El área de publicación %1 ya no era la que se leía (borrada, sustituida o vaciada): "
                                 "se ha vuelto a abrir.").arg(path);
        error_.clear();
        return;
    }
    notice_ = QStringLiteral("El área de publicación %1 ya no está y no se pudo volver a abrir: se reintenta cada segundo.")
                  .arg(path);
    program_->setToolTip(QString::fromStdString(error));
    if (error != error_)  // said once, not every second
        std::fprintf(stderr, "simulador: %s\n", error.c_str());
    error_ = error;
}

unsigned long long SimuladorWindow::span() const
{
    const unsigned long long spans[] = {kSecond / 1000, kSecond / 100, kSecond / 10, kSecond, 0};
    return spans[span_->currentIndex()];
}

SimuladorWindow::Saved SimuladorWindow::saveCaptureTo(const QString &path, unsigned long long now)
{
    const auto fail = [](const QString &message) {
        std::fprintf(stderr, "simulador: %s\n", qPrintable(message));
        return Saved{false, message};
    };
    // Told apart without opening it: opening a FIFO waits for a reader, and a
    // device is no place for a capture.
    const QFileInfo existing(path);
    if (existing.exists() && !existing.isFile())
        return fail(QStringLiteral("No se guardó la captura en %1: no es un fichero normal (es una carpeta, una FIFO o "
                                   "un dispositivo). Elija otro nombre.").arg(path));
    FileId target, lock;
    const bool exists = fileId(QFile::encodeName(path).toStdString(), target);
    for (const char *suffix : {".lock", ".visor"})  // the port's lock and the viewers': not to be replaced either
        if (exists && fileId(area_.path() + suffix, lock) && target.sameFile(lock))
            return fail(QStringLiteral("No se guardó la captura en %1: es un cerrojo del puerto simulado o del "
                                       "simulador. Elija otro nombre.").arg(path));
    if (exists && target.sameFile(area_.file()))
        return fail(QStringLiteral("No se guardó la captura en %1: es el área de publicación que lee este simulador, "
                                   "donde publican los programas. Elija otro nombre.").arg(path));
    if (!now)
        now = monotonicNow();
    const bool frozen = freeze_->isChecked();
    const Frame shown = frozen ? shown_ : frameAt(moves_, now, span());
    const Capture taken = capture(area_.area(), shown.from, shown.to);
    const QByteArray date = QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8();
    const std::string text = dump(taken, date.constData());
    // Written beside it and put in its place only when whole: a full disk
    // leaves the file that was there as it was. Flushed first, as commit()
    // takes a write cut short in its own flush for a success; the reason is
    // the failed call's, as Qt has none for a short write.
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.flush() || !file.commit())
        return fail(QStringLiteral("No se pudo guardar la captura en %1: %2. Si ya había un fichero con ese nombre, "
                                   "sigue como estaba. Elija otra carpeta o haga sitio en el disco.")
                        .arg(path, errno ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString()));
    QSettings().setValue(QStringLiteral("carpeta"), QFileInfo(path).absolutePath());
    const QString what = frozen ? QStringLiteral(": lo que muestra el diagrama congelado")
                         : shown.held && span() ? QStringLiteral(": el último movimiento, pues el motor está parado")
                                                : QString();
    const QString ring = taken.writes.empty() && span()
                             ? QStringLiteral("En ese intervalo no se escribió nada; con «2 s (y guardar todo)» se "
                                              "guarda cuanto tiene el anillo.")
                         : taken.lost ? QStringLiteral("El anillo ya había perdido escrituras anteriores de ese "
                                                       "intervalo: la captura empieza más tarde.")
                                      : QStringLiteral("El anillo no había perdido ninguna del intervalo.");
    return {true, QStringLiteral("Guardadas %1 escrituras en %2%3. %4").arg(taken.writes.size()).arg(path, what, ring)};
}

void SimuladorWindow::saveCapture()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Guardar captura"),
                                                      captureFolder() + QStringLiteral("/captura.vcd"),
                                                      QStringLiteral("Volcado de cambios de valor (*.vcd)"));
    if (path.isEmpty())
        return;
    const Saved saved = saveCaptureTo(path);
    QMessageBox box(saved.ok ? QMessageBox::Information : QMessageBox::Warning, QStringLiteral("Guardar captura"),
                    saved.message, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);  // a file's name is not markup
    box.exec();
}

QString captureFolder()
{
    const QString last = QSettings().value(QStringLiteral("carpeta")).toString();
    for (const QString &folder : {last, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)})
        if (QDir::isAbsolutePath(folder) && QFileInfo(folder).isDir())
            return folder;
    return QDir::homePath();
}

}  // namespace simulador
