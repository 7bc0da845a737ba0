// What the viewer's window says, line by line, in Spanish: of the area and
// who writes there (AreaFeed), and of a session at its last tick. No widgets.
#pragma once

#include "feed.h"
#include "session.h"

#include <QString>

namespace simulador {

// Who has the port open, or what became of the area.
QString programsLine(const AreaFeed &feed, const Session &session);
QString positionLine(const Session &session);
QString speedLine(const Session &session);
QString figuresLine(const Session &session);    // how even the gaps are
QString irregularLine(const Session &session);  // what irregular pulses mean, when they are
QString moveLine(const Session &session);
QString senseLine(const Session &session, unsigned long long lost);  // and the writes lost by falling behind
QString ruleLine(const Session &session);       // the board's rule in force
QString caption(const Session &session);        // the diagram's, for what it shows
// Whether the motor follows the pulses as they come now, how far apart the hands are, what a move lost and
// what would make it follow (the rate first).
QString motorLine(const Session &session);
QString motorTip();  // what the dial's hands and the lost steps mean
// A length of time as a person reads it, in the unit that suits it.
QString duration(unsigned long long ns);

}  // namespace simulador
