#include "window.h"
#include "clock.h"
#include "motors.h"
#include "texts.h"
#include "where.h"
#include "widgets.h"

#include <QAction>
#include <QBoxLayout>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>

namespace simulador {

namespace {

// A child of `parent` known by `name`, of a fixed width and height where given (not 0).
template <class Widget, class... Args>
Widget *named(QWidget *parent, const char *name, QSize fixed, Args &&...args)
{
    auto *widget = new Widget(std::forward<Args>(args)..., parent);
    widget->setObjectName(QString::fromLatin1(name));
    if (fixed.width() > 0)
        widget->setFixedWidth(fixed.width());
    if (fixed.height() > 0)
        widget->setFixedHeight(fixed.height());
    return widget;
}

// Widgets side by side, `gaps` pixels apart, the room left after them.
QHBoxLayout *row(std::initializer_list<QWidget *> widgets, std::initializer_list<int> gaps)
{
    auto *layout = new QHBoxLayout;
    layout->setSpacing(0);
    const int *gap = gaps.begin();
    for (QWidget *widget : widgets) {
        if (widget != *widgets.begin())
            layout->addSpacing(*gap++);
        layout->addWidget(widget);
    }
    layout->addStretch();
    return layout;
}

}  // namespace

void fit(QLabel *label, const QString &text, const QString &tip)
{
    // Only on a change: a label's text laid out anew each frame would cost the frame its time.
    if (label->property("whole").toString() == text && label->property("tip").toString() == tip &&
        label->property("width").toInt() == label->width())
        return;
    label->setProperty("whole", text);
    label->setProperty("tip", tip);
    label->setProperty("width", label->width());
    const auto fits = [label](const QString &shown) {
        label->setText(shown);
        return label->wordWrap() ? label->heightForWidth(label->width()) <= label->height()
                                 : QFontMetrics(label->font()).horizontalAdvance(shown) <= label->width();
    };
    if (fits(text)) {
        label->setToolTip(tip);
        return;
    }
    // The most words that fit, then «…»; the whole text where a pointer finds it.
    const QStringList words = text.split(QLatin1Char(' '));
    const auto shortened = [&](qsizetype count) {
        return words.mid(0, count).join(QLatin1Char(' ')) + QStringLiteral("…");
    };
    qsizetype least = 0, most = words.size() - 1;  // the first `least` words fit; more than `most` do not
    while (least < most) {
        const qsizetype middle = (least + most + 1) / 2;
        if (fits(shortened(middle)))
            least = middle;
        else
            most = middle - 1;
    }
    fits(shortened(least));
    label->setToolTip(tip.isEmpty() ? text : text + QStringLiteral("\n\n") + tip);
}

SimuladorWindow::SimuladorWindow(MappedArea area, QWidget *parent) : QWidget(parent)
{
    const unsigned long long now = monotonicNow();
    feed_ = std::make_unique<AreaFeed>(std::move(area), now);
    session_ = std::make_unique<Session>(feed_->before(), now);
    setWindowTitle(QString::fromStdString(areaName(feed_->area().path())) +
                   QStringLiteral(" — Simulador de la placa del motor de pasos"));
    build();
    resize(720, 600);
    setMinimumSize(size());
    layout()->activate();  // the labels at their size: a text too long for one is shortened from the first frame

    // The options as they were left, each within its choices whatever the file says.
    QSettings settings;
    session_->setEdge(settings.value(QStringLiteral("flanco"), 0).toInt());
    session_->setLowSense(settings.value(QStringLiteral("sentidoBajo"), 0).toInt());
    session_->setSpan(settings.value(QStringLiteral("intervalo"), 1).toInt());
    // A file that can't be read now (a drive not mounted) gives the default for this run only.
    session_->setMotor(QFile::encodeName(settings.value(QStringLiteral("motor")).toString()).toStdString());
    showMotor();
    connect(motor_, &QComboBox::currentIndexChanged, this, &SimuladorWindow::motorChosen);
    edge_->setCurrentIndex(session_->edge());
    lowSense_->setCurrentIndex(session_->lowSense());
    span_->setCurrentIndex(session_->span());
    for (QComboBox *box : {edge_, lowSense_, span_})
        connect(box, &QComboBox::currentIndexChanged, this, &SimuladorWindow::optionChosen);
    optionChosen();
    place();

    // Redraw at the screen's rate, not per write.
    auto *timer = new QTimer(this);
    const qreal hz = screen() && screen()->refreshRate() > 1 ? screen()->refreshRate() : 60;
    timer->setInterval(int(1000 / hz));
    connect(timer, &QTimer::timeout, this, [this] { frame(); });
    timer->start();
    frame();
}

void SimuladorWindow::build()
{
    // At the default size: the dial, the figures and options at its right,
    // the diagram's controls below, and the diagram, which takes the room the
    // window gains. Tab goes through the options, then the two buttons.
    const auto label = [this](const char *name, QSize fixed, const QString &text = {}) {
        auto *label = named<QLabel>(this, name, fixed, text);
        label->setWordWrap(fixed.height() > 24);
        return label;
    };
    dial_ = named<Dial>(this, "dial", {250, 250});
    dial_->setToolTip(motorTip());
    // The hand of the pulses back on the rotor, as homing the axis at the bench: from the dial's menu, or a button.
    auto *align = new QAction(QStringLiteral("Igualar las agujas: la de los pulsos, sobre el rotor"), dial_);
    connect(align, &QAction::triggered, this, [this] { session_->alignHands(), frame(); });
    dial_->addAction(align);
    dial_->setContextMenuPolicy(Qt::ActionsContextMenu);
    program_ = label("programa", {0, 40});
    program_->setTextFormat(Qt::PlainText);  // names and paths from the area, not markup
    position_ = label("posicion", {0, 38});
    speed_ = label("velocidad", {0, 22});
    regularity_ = label("regularidad", {0, 50});
    irregular_ = label("irregular", {0, 44});
    move_ = label("movimiento", {0, 22});
    sense_ = label("sentido", {0, 22});
    pulseLamp_ = named<Lamp>(this, "lamparaPulso", {18, 18}, QColor(0xf1, 0xc4, 0x0f));
    directionLamp_ = named<Lamp>(this, "lamparaDireccion", {18, 18}, QColor(0x2e, 0xcc, 0x71));
    edge_ = named<QComboBox>(this, "flanco", {240, 24});
    edge_->addItems({QStringLiteral("flanco de subida (0 → 1)"), QStringLiteral("flanco de bajada (1 → 0)")});
    lowSense_ = named<QComboBox>(this, "sentidoBajo", {240, 24});
    lowSense_->addItems({QStringLiteral("en sentido horario"), QStringLiteral("en sentido antihorario")});
    motor_ = named<QComboBox>(this, "motor", {190, 24});
    for (const model::MotorParams &motor : model::motorPresets())
        motor_->addItem(QString::fromStdString(motor.name), QString::fromStdString(motor.name));
    motor_->addItem(QStringLiteral("Otro…"));
    motor_->setToolTip(QStringLiteral("El motor que se simula tras la placa: 48pasos, uno pequeño de 7,5°; nema17, uno "
                                      "de 1,8°; 48pasos-carga, el pequeño moviendo una polea. «Otro…» lee las cifras "
                                      "del suyo de un fichero .ini (vea ") +
                      QString::fromStdString(manCommand("simulador.es.1")) + QStringLiteral(")."));
    following_ = label("sigue", {250, 118});
    following_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    inForce_ = label("enVigor", {0, 34});
    auto *note = label("nota", {0, 32},
                       QStringLiteral("vueltas y rotacion dan a la línea de dirección niveles opuestos para el mismo "
                                      "nombre: su «derecha» gira aquí en sentidos contrarios."));
    QFont small = note->font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    note->setFont(small);
    irregular_->setFont(small);

    auto *column = new QVBoxLayout;
    column->setSpacing(0);
    const auto below = [column](int gap, auto *item) {
        column->addSpacing(gap);
        if constexpr (std::is_base_of_v<QLayout, std::remove_pointer_t<decltype(item)>>)
            column->addLayout(item);
        else
            column->addWidget(item);
    };
    below(0, program_);
    below(4, position_);
    below(0, speed_);
    below(0, regularity_);
    below(0, irregular_);
    below(2, move_);
    below(0, sense_);
    below(3, row({pulseLamp_, label("etiquetaPulso", {0, 22}, QStringLiteral("Pulso: bit 0, pin 2 del DB-25"))}, {8}));
    below(1, row({directionLamp_,
                  label("etiquetaDireccion", {0, 22}, QStringLiteral("Dirección: bit 1, pin 3 del DB-25"))},
                 {8}));
    below(6, row({label("etiquetaFlanco", {170, 24}, QStringLiteral("La placa da el paso en el")), edge_}, {6}));
    below(6, row({label("etiquetaSentido", {170, 24}, QStringLiteral("Con la dirección a 0 gira")), lowSense_}, {6}));
    below(4, inForce_);
    below(2, note);
    // Under the dial, what its two hands mean, and the motor they are of.
    auto *shaft = new QVBoxLayout;
    shaft->setSpacing(4);
    shaft->addWidget(dial_);
    // What the hands are, beside the button that puts them together.
    auto *legend = label("leyenda", {0, 24},
                         QStringLiteral("<span style=\"color:#c0392b\">━━</span> rotor &nbsp; <span style=\"color:"
                                        "#8d9195\">━━</span> los pulsos"));
    legend->setToolTip(motorTip());
    align_ = named<QPushButton>(this, "igualar", {80, 24}, QStringLiteral("&Igualar"));
    align_->setToolTip(QStringLiteral("Pone la aguja de los pulsos sobre el rotor, como al buscar el origen del eje "
                                      "en el banco: el motor sigue como estaba."));
    connect(align_, &QPushButton::clicked, align, &QAction::trigger);
    shaft->addLayout(row({legend, align_}, {4}));
    shaft->addWidget(following_);
    shaft->addLayout(row({label("etiquetaMotor", {54, 24}, QStringLiteral("Motor:")), motor_}, {6}));
    shaft->addStretch();
    auto *top = new QHBoxLayout;
    top->setSpacing(20);
    top->addLayout(shaft);
    top->addLayout(column);

    span_ = named<QComboBox>(this, "intervalo", {156, 24});
    span_->addItems({QStringLiteral("1 ms"), QStringLiteral("10 ms"), QStringLiteral("100 ms"), QStringLiteral("1 s"),
                     QStringLiteral("2 s (y guardar todo)")});
    freeze_ = named<QPushButton>(this, "congelar", {110, 26}, QStringLiteral("&Congelar"));
    freeze_->setCheckable(true);
    freeze_->setToolTip(
        QStringLiteral("Deja el diagrama como está, y la captura con él, hasta que se vuelva a pulsar."));
    auto *save = named<QPushButton>(this, "guardarCaptura", {166, 26}, QStringLiteral("&Guardar captura…"));
    save->setToolTip(QStringLiteral("Guarda lo que muestra el diagrama (con el motor parado, su último movimiento; con "
                                    "«guardar todo», cuanto guarda el anillo) como volcado VCD, para PulseView, "
                                    "sigrok-cli o GTKWave. También con Ctrl+S."));
    connect(freeze_, &QPushButton::toggled, this, &SimuladorWindow::freeze);
    connect(save, &QPushButton::clicked, this, &SimuladorWindow::saveCapture);
    new QShortcut(QKeySequence::Save, this, this, &SimuladorWindow::saveCapture);
    timing_ = named<TimingDiagram>(this, "diagrama", {});

    auto *window = new QVBoxLayout(this);
    window->setContentsMargins(10, 10, 10, 8);
    window->setSpacing(0);
    window->addLayout(top);
    window->addSpacing(5);
    window->addLayout(row({label("etiquetaDiagrama", {250, 24}, QStringLiteral("Las líneas del puerto en los últimos")),
                           span_, freeze_, save},
                          {2, 8, 8}));
    window->addSpacing(5);
    window->addWidget(timing_, 1);
}

void SimuladorWindow::place()
{
    // Where the last viewer was left (the first time: the top right corner,
    // as the programs open where the window manager puts a new window, the
    // top left corner under most). While another is open, its place is
    // taken, so this one moves down and aside to leave it in view.
    QSettings settings;
    const QString folder = QFileInfo(settings.fileName()).absolutePath();
    QDir().mkpath(folder);
    bool alone = true;
    open_ = openViewer(QFile::encodeName(folder + QStringLiteral("/simulador.abiertos")).toStdString(), alone);
    const QRect free = screen() ? screen()->availableGeometry() : QRect();
    if (!restoreGeometry(settings.value(QStringLiteral("geometria")).toByteArray()) && !free.isEmpty())
        move(std::max(free.left(), free.right() + 1 - width() - 12), free.top());
    if (!alone && !free.isEmpty())
        move(cascaded(frameGeometry(), free));
    settings.setValue(QStringLiteral("geometria"), saveGeometry());  // for the next viewer to open aside
}

void SimuladorWindow::closeEvent(QCloseEvent *event)
{
    QSettings settings;
    settings.setValue(QStringLiteral("flanco"), session_->edge());
    settings.setValue(QStringLiteral("sentidoBajo"), session_->lowSense());
    settings.setValue(QStringLiteral("intervalo"), session_->span());
    if (motorPicked_)  // else the choice kept stays, even one that could not be read this time
        settings.setValue(QStringLiteral("motor"), QFile::decodeName(session_->follower().choice().c_str()));
    settings.remove(QStringLiteral("congelado"));  // kept by earlier versions: a viewer opens live
    settings.setValue(QStringLiteral("geometria"), saveGeometry());
    QWidget::closeEvent(event);
}

void SimuladorWindow::optionChosen()
{
    session_->setEdge(edge_->currentIndex());
    session_->setLowSense(lowSense_->currentIndex());
    session_->setSpan(span_->currentIndex());
    fit(inForce_, ruleLine(*session_));
}

void SimuladorWindow::motorChosen()
{
    QString choice = motor_->currentData().toString();
    const QString current = QFile::decodeName(session_->follower().choice().c_str());
    if (choice.isEmpty())  // «Otro…»: from the folder of the file in use, if one is
        choice = QFileDialog::getOpenFileName(
            this, QStringLiteral("Motor propio"),
            current.contains('/') ? QFileInfo(current).absolutePath() : QDir::homePath(),
            QStringLiteral("Cifras de un motor (*.ini)"));
    const std::string error =
        choice.isEmpty() ? std::string() : session_->setMotor(QFile::encodeName(choice).toStdString());
    motorPicked_ = motorPicked_ || (!choice.isEmpty() && error.empty());
    showMotor();  // cancelled, or a file that can't be read: back on the motor in use
    if (!error.empty()) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Motor propio"), QString::fromStdString(error),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
}

void SimuladorWindow::showMotor()
{
    const QSignalBlocker quiet(motor_);
    const QString choice = QFile::decodeName(session_->follower().choice().c_str());
    const int presets = int(model::motorPresets().size());
    if (motor_->count() > presets + 1 && motor_->itemData(presets).toString() != choice)
        motor_->removeItem(presets);  // one's own file, no longer the one in use
    if (motor_->findData(choice) < 0)
        motor_->insertItem(presets, QString::fromStdString(session_->follower().motor().name) + QStringLiteral(" (") +
                                        QFileInfo(choice).fileName() + QStringLiteral(")"), choice);
    motor_->setCurrentIndex(motor_->findData(choice));
}

void SimuladorWindow::freeze(bool frozen)
{
    session_->setFrozen(frozen);
    const Frame &shown = session_->shown();
    timing_->setView(session_->changes(), session_->valueBefore(), shown.start, shown.end, caption(*session_));
}

void SimuladorWindow::frame(unsigned long long now)
{
    now = now ? now : monotonicNow();
    for (const published::Write &write : feed_->take(now))
        session_->feed(write);
    session_->tick(now);
    const Session &s = *session_;
    const bool missing = feed_->state() == AreaFeed::State::Missing;
    fit(program_, programsLine(*feed_, s), missing ? QString::fromStdString(feed_->error()) : QString());
    fit(position_, positionLine(s));
    fit(speed_, speedLine(s));
    fit(regularity_, figuresLine(s));
    fit(irregular_, irregularLine(s));
    fit(move_, moveLine(s));
    fit(sense_, senseLine(s, feed_->lost()));
    dial_->setAngles(s.follower().rotorDegrees(), s.follower().commandedDegrees());
    fit(following_, motorLine(s), motorTip());
    align_->setEnabled(s.follower().following().apart != 0);
    pulseLamp_->setLit(s.board().pulse());
    directionLamp_->setLit(s.board().direction());
    timing_->setView(s.changes(), s.valueBefore(), s.shown().start, s.shown().end, caption(s));
}

Saved SimuladorWindow::saveCaptureTo(const QString &path, unsigned long long now)
{
    const Asked asked = session_->asked(now ? now : monotonicNow());
    const Saved saved = save(path, taken(asked), asked, keptFiles(feed_->area(), std::getenv("PARPORT_TRACE")));
    if (saved.ok)
        QSettings().setValue(QStringLiteral("carpeta"), QFileInfo(path).absolutePath());
    return saved;
}

void SimuladorWindow::saveCapture()
{
    const Asked asked = session_->asked(monotonicNow());
    Saved saved = savable(taken(asked), asked);
    if (saved.ok) {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Guardar captura"),
                                                          captureFolder() + QStringLiteral("/captura.vcd"),
                                                          QStringLiteral("Volcado de cambios de valor (*.vcd)"));
        if (path.isEmpty())
            return;
        saved = saveCaptureTo(path);
    }
    QMessageBox box(saved.ok ? QMessageBox::Information : QMessageBox::Warning, QStringLiteral("Guardar captura"),
                    saved.message, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);  // a file's name is not markup
    box.exec();
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
