// Text from a file, shown to a person on a terminal: a file's bytes must not
// move the cursor, retitle the window or change its colours. No Qt.
#pragma once

#include <string>
#include <string_view>

namespace traffic {

// `text` with its control characters (below a blank, DEL, and U+0080 to
// U+009F) and any byte that is not part of UTF-8 written as \xNN.
std::string printable(std::string_view text);

// Whether printable() would change `text`.
bool hasControls(std::string_view text);

}  // namespace traffic
