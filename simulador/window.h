// The viewer's window: the simulated board's shaft, its figures, the lines as
// lamps and a timing diagram, redrawn at the screen's rate. The diagram takes
// whatever room the window is given; the options and the window's place are
// kept in the user's settings (~/.config/motorpasos/simulador.conf).
#pragma once

#include "area.h"
#include "board.h"
#include "moves.h"
#include "reader.h"

#include <QWidget>
#include <deque>
#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace simulador {

class Dial;
class Lamp;
class TimingDiagram;

class SimuladorWindow : public QWidget {
    Q_OBJECT

public:
    // Reads `area`, and maps it again when its path comes to name another file.
    explicit SimuladorWindow(MappedArea &area, QWidget *parent = nullptr);

    const Board &board() const { return board_; }

    // Saves what the ring holds of what the diagram shows (the span up to
    // `now`, the last move once the motor is still, or what was frozen; or all
    // the ring holds) as a value change dump at `path`: whether it did, and
    // what to tell the person. The file at `path` is replaced only by a whole
    // capture. Its folder is remembered for the next one.
    struct Saved {
        bool ok;
        QString message;
    };
    Saved saveCaptureTo(const QString &path, unsigned long long now = 0);

public slots:
    // Takes what was written since the last frame and redraws. `now` is the
    // monotonic clock in ns (0: read it).
    void frame(unsigned long long now = 0);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;  // keeps the options and the window's place

private slots:
    void saveCapture();  // "Guardar captura…": asks where, then saves

private:
    void placeAtFirst();  // where no place was kept
    QString caption() const;  // the diagram's, for what it shows
    void settingsChanged();
    void checkArea(unsigned long long now);
    unsigned long long span() const;
    void showRegularity(unsigned long long now);  // of the last second's writes, while the motor turns  // of the diagram, in ns; 0: all the ring holds

    MappedArea &area_;
    unsigned long long checked_ = 0;  // when the area's path was last checked
    QString notice_;                  // shown instead of the programs until the next check
    std::string error_;               // why the area could not be mapped again, as last reported

    std::unique_ptr<PortReader> reader_;
    Board board_;
    unsigned long long taken_ = 0;  // the time given to the last write taken
    std::deque<Step> recent_;  // the steps of the last rate window
    std::deque<unsigned long long> written_;  // the times of the last second's writes
    unsigned long long regularityAt_ = 0;     // when the regularity lines were last worked out
    Moves moves_;
    Frame shown_;  // what the diagram shows, kept while frozen
    Dial *dial_;
    Lamp *pulseLamp_;
    Lamp *directionLamp_;
    TimingDiagram *timing_;
    QLabel *program_;
    QLabel *position_;
    QLabel *speed_;
    QLabel *sense_;
    QLabel *inForce_;
    QComboBox *edge_;
    QComboBox *lowSense_;
    QComboBox *span_;
    QPushButton *freeze_;
    QLabel *move_;
    QLabel *regularity_;
    QLabel *irregular_;
    QTimer *timer_;
};

// Where the save dialog starts: the folder of the last capture saved, else the
// user's documents folder, else the home folder; never the current folder.
QString captureFolder();

}  // namespace simulador
