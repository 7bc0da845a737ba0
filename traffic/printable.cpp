#include "printable.h"

namespace traffic {

namespace {

// How many bytes of a printable UTF-8 character begin at `at`; 0 when the
// byte there is a control character or no character's start.
std::size_t character(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
    const unsigned char first = byte(0);
    if (first < 0x80)
        return first >= 0x20 && first != 0x7f;
    // The second byte's range, which rules out the long forms and the surrogates; the rest are 0x80-0xBF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;
    if (first == 0xc2)
        length = 2, low = 0xa0;  // U+0080 to U+009F are control characters
    else if (first > 0xc2 && first <= 0xdf)
        length = 2;
    else if (first >= 0xe0 && first <= 0xef)
        length = 3, low = first == 0xe0 ? 0xa0 : 0x80, high = first == 0xed ? 0x9f : 0xbf;
    else if (first >= 0xf0 && first <= 0xf4)
        length = 4, low = first == 0xf0 ? 0x90 : 0x80, high = first == 0xf4 ? 0x8f : 0xbf;
    if (!length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return length;
}

}  // namespace

std::string printable(std::string_view text)
{
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        if (const std::size_t length = character(text, at)) {
            shown.append(text.substr(at, length));
            at += length;
        } else {
            static const char kDigits[] = "0123456789abcdef";
            const unsigned char byte = static_cast<unsigned char>(text[at++]);
            shown += {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 15]};
        }
    }
    return shown;
}

bool hasControls(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = character(text, at);
        if (!length)
            return true;
        at += length;
    }
    return false;
}

}  // namespace traffic
