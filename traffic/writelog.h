// The writes of a trace, oldest first, packed for an analysis that goes over
// them many times: each write's time as how much its gap differs from the gap
// before, and its lines as whether only the pulse line changed, in as few
// bytes as that takes. Even pulses at full speed take one or two bytes a
// write where a PortWrite takes sixteen, so that a trace of 100 million writes
// fits in some 150 MB. Of a value, only the two lines' bits are stored. No Qt.
#pragma once

#include "write.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace traffic {

// The latest time a log takes, in ns (146 years of a clock): later is no clock's.
constexpr unsigned long long kLatest = 1ULL << 62;

class WriteLog {
public:
    WriteLog() = default;
    // The writes a viewer or a test holds in a vector.
    WriteLog(const std::vector<PortWrite> &writes);  // NOLINT: converts, as a vector is a log to read

    // A write after the last: a time before the last's is taken as the last's, one past kLatest as kLatest.
    void push(PortWrite write);
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    PortWrite front() const { return first_; }
    PortWrite back() const { return last_; }
    std::size_t bytes() const;  // the memory it holds
    unsigned long long shortestGap() const { return shortest_; }  // the shortest gap but 0, ns; 0 when none

    // Reads the writes back, oldest first.
    class Reader {
    public:
        explicit Reader(const WriteLog &log) : log_(&log) {}
        // False after the last. The most common writes, the pulse line alone changed by a gap that differs
        // from the one before by less than 4 µs, are read here; the others by rest().
        bool next(PortWrite &write)
        {
            if (read_ > 0 && read_ < log_->size_) {
                const Block &block = log_->blocks_[block_];
                const unsigned char *const at = block.bytes.get() + at_;
                unsigned code = 0;
                if (at_ < block.used && (at[0] & 0x81) == 1)
                    code = at[0], at_ += 1;
                else if (at_ + 1 < block.used && (at[0] & 0x81) == 0x81 && !(at[1] & 0x80))
                    code = (at[0] & 0x7fu) | unsigned(at[1]) << 7, at_ += 2;
                if (code) {
                    ++read_;
                    gap_ += static_cast<long long>(code >> 2) ^ -static_cast<long long>(code >> 1 & 1);
                    last_.time += static_cast<unsigned long long>(gap_);
                    last_.value ^= 1;
                    write = last_;
                    return true;
                }
            }
            return rest(write);
        }

    private:
        bool rest(PortWrite &write);
        const WriteLog *log_;
        std::size_t block_ = 0, at_ = 0, read_ = 0;
        PortWrite last_{};
        long long gap_ = 0;
    };
    Reader reader() const { return Reader(*this); }

private:
    struct Block {
        std::unique_ptr<unsigned char[]> bytes;
        std::size_t size, used;
    };
    unsigned char *room();  // where the next write's bytes go

    std::vector<Block> blocks_;
    std::size_t size_ = 0;
    PortWrite first_{}, last_{};
    long long gap_ = 0;  // the last gap, ns
    unsigned long long shortest_ = 0;
};

}  // namespace traffic
