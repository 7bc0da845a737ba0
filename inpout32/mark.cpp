#include "mark.h"
#include "space.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace mark {

namespace {

constexpr char kWord[] = "libinpout32 reserva ";
constexpr int kDigits = 20;
constexpr off_t kZeros = kLength - (off_t(sizeof kWord) - 1) - 2 * kDigits - 2;  // before its text

// Reads the number of `kDigits` digits at `text`; -1 when it is not one.
off_t number(const char *text)
{
    off_t value = 0;
    for (int i = 0; i < kDigits; ++i) {
        if (text[i] < '0' || text[i] > '9' || value > (off_t(1) << 58))
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Whether the kLength bytes at `text`, which end at `end` in the file, are
// the mark of a window that ends there: its run's start in `from`.
bool isMark(const char *text, off_t end, off_t &from)
{
    const char *word = text + kZeros;
    from = number(word + sizeof kWord - 1);
    const off_t window = number(word + sizeof kWord + kDigits);
    return std::count(text, word, '\0') == kZeros && std::memcmp(word, kWord, sizeof kWord - 1) == 0 &&
           word[sizeof kWord - 1 + kDigits] == ' ' && text[kLength - 1] == '\n' && from >= 0 && window >= 0 &&
           window + kWindow == end && from <= end - kLength;
}

// The first byte in [from, to) that is 0 (`zero`) or is not; `to` when there
// is none, -1 when the file can't be read that far.
off_t firstByte(int fd, off_t from, off_t to, bool zero)
{
    static char block[1 << 16];
    for (off_t at = from; at < to;) {
        const ssize_t n = pread(fd, block, static_cast<size_t>(std::min<off_t>(sizeof block, to - at)), at);
        if (n <= 0)
            return -1;
        const char *found = std::find_if(block, block + n, [zero](char c) { return (c == '\0') == zero; });
        if (found != block + n)
            return at + (found - block);
        at += n;
    }
    return to;
}

}  // namespace

void make(char *out, off_t from, off_t window)
{
    char text[kLength + 1];
    std::snprintf(text + kZeros, sizeof text - size_t(kZeros), "%s%0*lld %0*lld\n", kWord, kDigits,
                  static_cast<long long>(from), kDigits, static_cast<long long>(window));
    std::memset(text, 0, size_t(kZeros));
    std::memcpy(out, text, kLength);
}

bool zeroUpTo(int fd, off_t from, off_t to) { return firstByte(fd, from, to, false) == to; }

Killed findKilled(int fd, off_t size)
{
    // A mark ends its window, at a page's end, with the file's end there or,
    // where someone appended to a killed run's file, their text after it.
    const off_t page = sysconf(_SC_PAGESIZE);
    for (off_t end = size / page * page; end >= kWindow && end >= size - kWindow; end -= page) {
        char text[kLength];
        off_t from = 0;
        if (pread(fd, text, kLength, end - kLength) != kLength || !isMark(text, end, from))
            continue;
        // The first zero byte after the run's lines (none of its lines holds
        // one), at the latest the mark's own.
        const off_t window = end - kWindow, zero = firstByte(fd, std::max(from, window), end - kLength + kZeros, true);
        if (zero < 0)
            continue;
        // A line cut short by the kill goes too: back to the last newline.
        const off_t back = std::max(from, zero - kLength);
        const ssize_t n = pread(fd, text, static_cast<size_t>(zero - back), back);
        const void *newline = n > 0 ? memrchr(text, '\n', static_cast<size_t>(n)) : nullptr;
        return {newline ? back + (static_cast<const char *>(newline) - text) + 1 : back, end};
    }
    return {};
}

void takeOut(int fd, off_t from, off_t to)
{
    const mapped::FileSizeGuard guard;
    struct stat status;
    const off_t block = fstat(fd, &status) == 0 && status.st_blksize > 0 ? status.st_blksize : 4096;
    const off_t whole = (from + block - 1) / block * block, upTo = to / block * block;
    if (upTo > whole && fallocate(fd, FALLOC_FL_COLLAPSE_RANGE, whole, upTo - whole) == 0)
        to -= upTo - whole;
    const std::string blank(size_t(std::min<off_t>(to - from, 1 << 16)), '\n');
    for (off_t at = from; at < to; at += off_t(blank.size()))
        (void)!pwrite(fd, blank.data(), size_t(std::min<off_t>(off_t(blank.size()), to - at)), at);
}

}  // namespace mark
