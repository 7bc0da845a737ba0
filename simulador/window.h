// The viewer's window: the simulated board's shaft, its figures, the lines as
// lamps and a timing diagram, redrawn at the screen's rate.
#pragma once

#include "area.h"
#include "board.h"
#include "reader.h"

#include <QWidget>
#include <deque>
#include <memory>

class QComboBox;
class QLabel;
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

    // Saves what the ring holds of the span the diagram shows (or all of it)
    // as a value change dump at `path`: whether it did, and what to tell the
    // person. The file at `path` is replaced only by a whole capture.
    struct Saved {
        bool ok;
        QString message;
    };
    Saved saveCaptureTo(const QString &path, unsigned long long now = 0);

public slots:
    // Takes what was written since the last frame and redraws. `now` is the
    // monotonic clock in ns (0: read it).
    void frame(unsigned long long now = 0);

private slots:
    void saveCapture();  // "Guardar captura…": asks where, then saves

private:
    void settingsChanged();
    void checkArea(unsigned long long now);
    unsigned long long span() const;  // of the diagram, in ns; 0: all the ring holds

    MappedArea &area_;
    unsigned long long checked_ = 0;  // when the area's path was last checked
    QString notice_;                  // shown instead of the programs until the next check
    std::string error_;               // why the area could not be mapped again, as last reported

    std::unique_ptr<PortReader> reader_;
    Board board_;
    unsigned long long taken_ = 0;  // the time given to the last write taken
    std::deque<Step> recent_;  // the steps of the last rate window
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
    QTimer *timer_;
};

}  // namespace simulador
