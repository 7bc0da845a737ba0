// What feeds a viewer's session: the published area, mapped from its path
// and read at each frame, and once a second whether the path still names that
// file (an area deleted, replaced or cut short under a running viewer, while
// programs go on in a new one, is mapped again). Each write is given its time
// here, as the times in the area are another process's. No widgets.
#pragma once

#include "area.h"
#include "reader.h"

#include <memory>
#include <string>
#include <vector>

namespace simulador {

class AreaFeed {
public:
    // Follows `area` from `now` on.
    AreaFeed(MappedArea area, unsigned long long now);

    // The write before the first one take() yields, at the time given it:
    // the lines as they stood when the viewer began.
    const published::Write &before() const { return before_; }

    // The writes published since the last call, oldest first, each at the
    // time the viewer gives it (takenTime()). The area is checked first, once
    // a second (at once when the clock went back: a test's).
    std::vector<published::Write> take(unsigned long long now);

    // The area at the last check: the same file, mapped again, or gone (why in error()).
    enum class State { Same, Reopened, Missing };
    State state() const { return state_; }
    const std::string &error() const { return error_; }
    const MappedArea &area() const { return area_; }
    std::vector<Program> programs() const { return reader_->programs(); }
    unsigned long long lost() const { return reader_->lost(); }  // since the area was last mapped

private:
    void check(unsigned long long now);

    MappedArea area_;
    std::unique_ptr<PortReader> reader_;  // reads area_: made anew when it is mapped again
    unsigned long long checked_;          // when the area's path was last checked
    State state_ = State::Same;
    std::string error_;
    published::Write before_;
    unsigned long long taken_;  // the time given to the last write
};

}  // namespace simulador
