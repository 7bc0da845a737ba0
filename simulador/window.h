// The viewer's window: a view of one session (session.h), fed from the area
// it watches (feed.h), and the helpers only the window uses. The simulated
// board's shaft (the motor's rotor and where the pulses asked it to be), the
// motor picked and whether it follows, its figures, the lines as lamps and a
// timing diagram, redrawn at the screen's rate. The diagram takes whatever
// room the window is given; the options, the motor and the window's place are
// kept in the user's settings (~/.config/motorpasos/simulador.conf), never
// whether it was frozen.
#pragma once

#include "capture.h"
#include "feed.h"
#include "owned.h"
#include "session.h"

#include <QRect>
#include <QWidget>
#include <memory>
#include <string>

class QComboBox;
class QLabel;
class QPushButton;

namespace simulador {

class Dial;
class Lamp;
class TimingDiagram;

class SimuladorWindow : public QWidget {
    Q_OBJECT

public:
    // Follows `area`, and maps it again when its path comes to name another file.
    explicit SimuladorWindow(MappedArea area, QWidget *parent = nullptr);

    const Session &session() const { return *session_; }
    const AreaFeed &feed() const { return *feed_; }

    // Saves what a capture takes at `now` (0: the clock's now) to `path`
    // (save(), capture.h); its folder is remembered for the next one.
    Saved saveCaptureTo(const QString &path, unsigned long long now = 0);

public slots:
    // Takes what was written since the last frame and redraws. `now` is the
    // monotonic clock in ns (0: read it).
    void frame(unsigned long long now = 0);

protected:
    void closeEvent(QCloseEvent *event) override;  // keeps the options and the window's place

private slots:
    void optionChosen();        // the edge, the sense or the span
    void motorChosen();         // a motor, or «Otro…»: asks for its file
    void freeze(bool frozen);   // «Congelar»
    void saveCapture();         // «Guardar captura…»: asks where, then saves

private:
    void build();
    void place();      // where the last viewer was left, and not over one still open
    void showMotor();  // the picker on the session's motor; one's own file as an item of its own
    Capture taken(const Asked &asked) const { return capture(feed_->area().area(), asked.from, asked.to); }

    std::unique_ptr<AreaFeed> feed_;
    std::unique_ptr<Session> session_;
    bool motorPicked_ = false;  // by the person, in this window: else the setting is left as it was
    owned::Fd open_;  // held while this viewer is open, for the next to know
    Dial *dial_;
    Lamp *pulseLamp_;
    Lamp *directionLamp_;
    TimingDiagram *timing_;
    QLabel *program_;
    QLabel *position_;
    QLabel *speed_;
    QLabel *regularity_;
    QLabel *irregular_;
    QLabel *move_;
    QLabel *sense_;
    QLabel *inForce_;
    QLabel *following_;
    QComboBox *edge_;
    QComboBox *lowSense_;
    QComboBox *motor_;
    QComboBox *span_;
    QPushButton *freeze_;
    QPushButton *align_;
};

// Sets `text` on `label` whole where it fits, else shortened at a word with «…», the whole text then in its
// tooltip before `tip`: no text of the viewer is cut.
void fit(QLabel *label, const QString &text, const QString &tip = {});

// Opens the file whose lock tells viewers of this user apart: held (shared)
// for as long as the result lives. `alone`: whether no other viewer held it.
owned::Fd openViewer(const std::string &path, bool &alone);

// The name a person knows an area by: its file's (for the default area, its
// name in shared memory).
std::string areaName(const std::string &path);

// Where the save dialog starts: the folder of the last capture saved, else the
// user's documents folder, else the home folder; never the current folder.
QString captureFolder();

// Where a window (its frame `window`) opens while another viewer is open at
// that place: aside and down, within `free`, so that it leaves that one in view.
QPoint cascaded(const QRect &window, const QRect &free);

}  // namespace simulador
