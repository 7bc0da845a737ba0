// The programs' only timing: a busy count whose length is its number of passes.
#pragma once

namespace motor {

// Counts a variable from 0 to `bound` inclusive, doing nothing else, and
// returns the number of passes made (bound + 1, or 0 for a negative bound).
// The counter is volatile: the delay must really run.
long countPasses(long bound);

}  // namespace motor
