#include "writelog.h"

#include <algorithm>

namespace traffic {

namespace {

// The bytes a write can take at most: a byte for its lines, then ten for a 64-bit figure.
constexpr std::size_t kWriteMost = 11;
// Blocks grow from a page to a megabyte: a short move's log stays small, a long trace's is not copied as it grows.
constexpr std::size_t kFirstBlock = 4096, kLargestBlock = 1 << 20;

// A signed figure as an unsigned one that is small when the figure is near 0 either way.
unsigned long long zigzag(long long value)
{
    return (static_cast<unsigned long long>(value) << 1) ^ static_cast<unsigned long long>(value >> 63);
}
long long unzigzag(unsigned long long value)
{
    return static_cast<long long>(value >> 1) ^ -static_cast<long long>(value & 1);
}

unsigned char *put(unsigned char *at, unsigned long long value)
{
    for (; value >= 0x80; value >>= 7)
        *at++ = static_cast<unsigned char>(value | 0x80);
    *at++ = static_cast<unsigned char>(value);
    return at;
}

}  // namespace

WriteLog::WriteLog(const std::vector<PortWrite> &writes)
{
    for (const PortWrite &write : writes)
        push(write);
}

std::size_t WriteLog::bytes() const
{
    std::size_t total = 0;
    for (const Block &block : blocks_)
        total += block.size;
    return total;
}

unsigned char *WriteLog::room()
{
    if (blocks_.empty() || blocks_.back().size - blocks_.back().used < kWriteMost) {
        const std::size_t size = std::clamp(bytes(), kFirstBlock, kLargestBlock);
        blocks_.push_back({std::make_unique<unsigned char[]>(size), size, 0});
    }
    return blocks_.back().bytes.get() + blocks_.back().used;
}

void WriteLog::push(PortWrite write)
{
    write.value &= 3;
    write.time = std::min(write.time, kLatest);
    if (size_++ == 0) {
        first_ = last_ = write;
        return;
    }
    write.time = std::max(write.time, last_.time);
    const long long gap = static_cast<long long>(write.time - last_.time);
    if (gap > 0 && (shortest_ == 0 || static_cast<unsigned long long>(gap) < shortest_))
        shortest_ = static_cast<unsigned long long>(gap);
    const unsigned long long change = zigzag(gap - gap_);
    unsigned char *const start = room(), *end;
    // Most writes change the pulse line alone: a bit says so. Any other write
    // gives its lines in a byte of its own, whose lowest bit is 0.
    if ((write.value ^ last_.value) == 1 && change < (1ULL << 63)) {
        end = put(start, change << 1 | 1);
    } else {
        *start = static_cast<unsigned char>(write.value << 1);
        end = put(start + 1, change);
    }
    blocks_.back().used += static_cast<std::size_t>(end - start);
    gap_ = gap;
    last_ = write;
}

bool WriteLog::Reader::rest(PortWrite &write)
{
    if (read_ >= log_->size_)
        return false;
    if (read_++ == 0) {
        write = last_ = log_->first_;
        return true;
    }
    if (at_ == log_->blocks_[block_].used) {
        ++block_;
        at_ = 0;
    }
    const unsigned char *at = log_->blocks_[block_].bytes.get() + at_, *const start = at;
    const auto get = [&at] {
        unsigned long long value = 0;
        for (int shift = 0;; shift += 7) {
            const unsigned char byte = *at++;
            value |= static_cast<unsigned long long>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
    };
    unsigned long long change;
    if (*at & 1) {
        change = get() >> 1;
        last_.value ^= 1;
    } else {
        last_.value = *at++ >> 1;
        change = get();
    }
    at_ += static_cast<std::size_t>(at - start);
    gap_ += unzigzag(change);
    last_.time += static_cast<unsigned long long>(gap_);
    write = last_;
    return true;
}

}  // namespace traffic
