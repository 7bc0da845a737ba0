// What one viewer knows, without a window: the area it follows, the board it
// models from the writes, its moves and the one held, the regularity figures,
// what the diagram shows (frozen or not), what a capture takes and where it
// may go, and what a real motor would make of the writes. The time is always
// given (the monotonic clock, in ns).
#pragma once

#include "area.h"
#include "owned.h"
#include "board.h"
#include "capture.h"
#include "moves.h"
#include "reader.h"
#include "regularity.h"
#include "stepper.h"

#include <QRect>
#include <QString>
#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace simulador {

// The choices of the viewer's options, in order, and the span of each span
// choice in ns (0: the diagram shows kLongest and a capture takes all the ring holds).
constexpr int kEdgeChoices = 2, kSenseChoices = 2, kSpanChoices = 5;
constexpr unsigned long long kSpans[kSpanChoices] = {kSecond / 1000, kSecond / 100, kSecond / 10, kSecond, 0};

// A file a capture could go to, or must not replace, as told without opening it.
struct Target {
    enum Kind { Missing, Regular, Other } kind = Missing;
    FileId id;
};
Target targetAt(const std::string &path);

// What a capture must never replace: where the programs publish and trace,
// and the port's and the viewers' locks (Missing: not known).
struct Kept {
    Target area, trace, portLock, viewerLock;
};

// Why a capture of `writes` writes may not be saved to `target`, if it may not.
enum class Refusal { None, NothingCaptured, NotAFile, TheArea, TheTrace, ALock };
Refusal refusal(std::size_t writes, const Target &target, const Kept &kept);

// Opens the file whose lock tells viewers of this user apart: held (shared)
// for as long as the result lives. `alone`: whether no other viewer held it.
owned::Fd openViewer(const std::string &path, bool &alone);

// The name a person knows an area by: its file's (for the default area, its
// name in shared memory).
std::string areaName(const std::string &path);

class Session {
public:
    // Follows `area` from `now` on, with the lines as they stood then.
    Session(MappedArea area, unsigned long long now);
    ~Session();  // a slowdown still being worked out is given up

    // The options, each an index into its choices: one outside them (a
    // hand-edited settings file) is taken as the nearest.
    void setEdge(int choice);
    void setLowSense(int choice);
    void setSpan(int choice);
    int edge() const { return board_.settings.fallingEdge; }
    int lowSense() const { return !board_.settings.lowIsClockwise; }
    int span() const { return span_; }

    // The motor modelled: one of motorPresets() by name (any case), or one's
    // own from an INI file, named by a path (with a slash, or ending in
    // .ini). A name of neither (a hand-edited settings file) is taken as the
    // default, as the options are. A file that can't be read leaves the motor
    // as it was, and the result says why (also on standard error). The
    // model, like the edge and the sense, starts again from the present.
    std::string setMotor(const std::string &choice);
    const model::MotorParams &motor() const { return motor_; }
    const std::string &motorChoice() const { return motorChoice_; }  // the preset's name, or the file's path
    // The shaft's two hands, in degrees clockwise in [0, 360): where the model
    // puts the rotor, and where the pulses asked it to be.
    double rotorDegrees() const;
    double commandedDegrees() const;

    // What the motor made of its last move (of those begun since the model
    // was built): the pulses it lost since the move began, and the smallest
    // PARPORT_SLOWDOWN it would have followed: 1 while it loses none; else
    // -1 until the move has ended and suggestedSlowdown() over its writes,
    // on a thread of its own, has answered; 0 when none would do. Of a move
    // too long to keep whole, that is of its first `kept` ns.
    struct Following {
        bool seen = false;
        long lost = 0;
        int slowdown = -1;
        unsigned long long kept = 0;
    };
    Following following() const;

    // Keeps what the diagram shows, and what a capture takes, as it is, while
    // the figures go on. A state of this session only: a viewer opens live.
    void setFrozen(bool frozen);
    bool frozen() const { return frozen_; }

    // Takes what was written up to `now`; the area is checked once a second.
    void advance(unsigned long long now);

    const Board &board() const { return board_; }
    double speed() const { return speed_; }  // signed steps per second over the rate window
    const Moves &moves() const { return moves_; }
    bool moving() const { return moves_.moving(now_); }
    bool writing() const { return taken_ + kSecond > now_; }  // a write in the last second
    std::vector<Program> programs() const { return reader_->programs(); }
    unsigned long long lost() const { return reader_->lost(); }  // since the area was last mapped

    // How even the gaps between writes are: of the last second while the
    // motor moves, then of its last move's last second until the next begins
    // (no gaps: nothing to show).
    struct Figures {
        Regularity regularity;
        bool lastMove = false;
    };
    const Figures &figures() const { return figures_; }

    // What the diagram shows, and its lines: those kept when it was frozen,
    // the held move's whole, and no less than kLongest before the last write.
    const Frame &shown() const { return shown_; }
    const std::deque<Change> &changes() const { return frozen_ ? frozenChanges_ : changes_; }
    int valueBefore() const { return frozen_ ? frozenBefore_ : before_; }  // before the first change

    // The area at the last check: the same file, mapped again, or gone (why in areaError()).
    enum class AreaState { Same, Reopened, Missing };
    AreaState areaState() const { return areaState_; }
    const std::string &areaError() const { return areaError_; }
    const MappedArea &area() const { return area_; }

    // What a capture takes at `now`: what the ring holds of what the diagram
    // shows (or all it holds).
    Capture capture(unsigned long long now) const;
    // Whether a capture at `now` would save anything (asked before asking
    // where): when not, what to tell the person (also on standard error).
    struct Saved {
        bool ok;
        QString message;
    };
    Saved savable(unsigned long long now) const;
    // Saves the capture at `now` as a value change dump at `path`, replacing
    // a file there only with a whole capture: whether it did, and what to
    // tell the person (a failure also on standard error).
    Saved save(const QString &path, unsigned long long now) const;

private:
    QString nothing() const;  // why a capture holds nothing
    void checkArea(unsigned long long now);
    void take(const published::Write &write, unsigned long long now);
    void figure(unsigned long long now);
    Regularity gaps(unsigned long long from, unsigned long long to) const;
    int lines() const { return board_.pulse() | board_.direction() << 1; }
    void rebuild();  // the model anew, from the lines as they stand
    Frame frame(unsigned long long now) const;  // what the diagram frames: frozen, or at `now`
    Capture capture(const Frame &shown) const;
    void feedModel(int value, bool fresh, bool step, unsigned long long previous, int before);
    void followMove(unsigned long long now);
    void giveUp();   // the job going on, if any

    MappedArea area_;
    std::unique_ptr<PortReader> reader_;
    unsigned long long checked_ = 0;  // when the area's path was last checked
    AreaState areaState_ = AreaState::Same;
    std::string areaError_;

    Board board_;
    int span_ = 1;
    unsigned long long now_ = 0;
    unsigned long long taken_ = 0;  // the time given to the last write taken
    std::deque<Step> recent_;       // the steps of the last rate window
    double speed_ = 0;
    Moves moves_;
    std::deque<unsigned long long> written_;  // the times of the last second's writes
    Figures figures_;
    unsigned long long figuredAt_ = 0;     // when the figures were last worked out
    unsigned long long figuredMove_ = 0;   // the first write of the move they are the last move's figures of
    std::deque<Change> changes_;
    int before_ = 0;
    bool frozen_ = false;
    std::deque<Change> frozenChanges_;
    int frozenBefore_ = 0;
    Frame shown_;

    model::MotorParams motor_;
    std::string motorChoice_;
    model::MotorModel model_;
    double turned_ = 0;  // degrees the rotor had turned when the model was last built
    // The writes since the last silence, with the lines before them first (at
    // most kMoveKept), and the model's count of lost pulses as they began.
    struct Stretch {
        std::vector<traffic::PortWrite> writes;
        bool cut = false;  // it went on past the writes kept
        long lostBefore = 0;
    } stretch_;
    // The model's last move: the last stretch with a step since it was built.
    struct MotorMove {
        bool seen = false;
        bool going = false;  // the stretch going on is it
        long lostBefore = 0;
        std::vector<traffic::PortWrite> writes;  // once a stretch after it began, until its slowdown is asked for
        bool cut = false;
        unsigned long long kept = 0;
        bool asked = false;
        int slowdown = -1;
    } move_;
    std::shared_ptr<std::atomic<bool>> giveUp_;  // tells the job working out the slowdown to stop
    std::future<int> job_;
    std::vector<std::future<int>> given_;  // jobs given up, left to end by themselves
};

// What the window says of a session at its last advance, line by line.
QString programsLine(const Session &session);  // who has the port open, or what became of the area
QString positionLine(const Session &session);
QString speedLine(const Session &session);
QString figuresLine(const Session &session);    // how even the gaps are
QString irregularLine(const Session &session);  // what irregular pulses mean, when they are
QString moveLine(const Session &session);
QString senseLine(const Session &session);
QString ruleLine(const Session &session);       // the board's rule in force
QString caption(const Session &session);        // the diagram's, for what it shows
QString motorLine(const Session &session);      // whether the motor follows, what it lost and what would do
// A length of time as a person reads it, in the unit that suits it.
QString duration(unsigned long long ns);

// Where the save dialog starts: the folder of the last capture saved, else the
// user's documents folder, else the home folder; never the current folder.
QString captureFolder();

// Where a window (its frame `window`) opens while another viewer is open at
// that place: aside and down, within `free`, so that it leaves that one in view.
QPoint cascaded(const QRect &window, const QRect &free);

}  // namespace simulador
