// The ring of the last writes and the programs that have the port open: the
// writer's few stores and the reader's cursor.
#include "published.h"
#include "process.h"

#include <cstring>
#include <unistd.h>

namespace published {

namespace {

// The program that took the slot still runs: the same pid and the same start.
bool holds(const Writer &writer, std::int32_t pid)
{
    return process::stillRuns(pid, writer.started.load(std::memory_order_relaxed));
}

}  // namespace

int attach(Area &area, const char *name)
{
    const std::int32_t pid = getpid();
    std::uint64_t words[2] = {0, 0};
    std::strncpy(reinterpret_cast<char *>(words), name, sizeof words - 1);
    for (int slot = 0; slot < kWriters; ++slot) {
        Writer &writer = area.writers[slot];
        std::int32_t holder = writer.pid.load();
        // A slot is free, or was left by a program that is gone.
        if ((holder != 0 && holds(writer, holder)) || !writer.pid.compare_exchange_strong(holder, pid))
            continue;
        writer.ready.store(0, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        writer.name[0].store(words[0], std::memory_order_relaxed);
        writer.name[1].store(words[1], std::memory_order_relaxed);
        writer.started.store(process::startOf(pid), std::memory_order_relaxed);
        writer.ready.store(pid, std::memory_order_release);
        return slot;
    }
    return -1;
}

void detach(Area &area, int slot)
{
    // Only its own: a forked child that detaches leaves its parent's slot be.
    std::int32_t pid = getpid();
    if (slot < 0 || area.writers[slot].pid.load() != pid)
        return;
    area.writers[slot].ready.store(0, std::memory_order_relaxed);
    area.writers[slot].pid.compare_exchange_strong(pid, 0);
}

bool Cursor::read(const Area &area, std::uint64_t n, Write &out)
{
    // `seq` is the entry's number plus one once it is whole: the same number
    // before and after reading it means it was read whole.
    const Entry &entry = area.ring[n % kRing];
    if (entry.seq.load(std::memory_order_acquire) != n + 1)
        return false;
    const std::uint64_t time = entry.time.load(std::memory_order_relaxed);
    const std::uint32_t write = entry.write.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (entry.seq.load(std::memory_order_relaxed) != n + 1)
        return false;
    out = {time, static_cast<unsigned short>(write >> 16), static_cast<short>(write & 0xffff)};
    return true;
}

Cursor::Cursor(const Area &area, std::uint64_t since) : area_(&area)
{
    const std::uint64_t head = area.writes.load(std::memory_order_acquire);
    const std::uint64_t oldest = head > kRing ? head - kRing : 0;
    next_ = head;
    // Back from the newest while the writes are of the span; the newest few
    // may still be being filled, the one before them is whole.
    for (std::uint64_t n = head; n > oldest; --n) {
        Write write;
        if (!read(area, n - 1, write)) {
            if (head - n < 4)
                continue;
            lateStart_ = true;  // overwritten while we looked: older ones are gone too
            return;
        }
        if (write.time < since) {
            before_ = write;
            hasBefore_ = true;
            return;
        }
        next_ = n - 1;
    }
    lateStart_ = oldest > 0;  // the oldest the ring holds is of the span: older ones may have been too
}

bool Cursor::next(Write &out)
{
    const std::uint64_t head = area_->writes.load(std::memory_order_acquire);
    if (head < next_)
        next_ = 0;  // an area made anew: all it holds is new
    if (head - next_ > kRing) {
        overrun_ += head - next_ - kRing;
        next_ = head - kRing;
    }
    for (; next_ < head; ++next_, ++overrun_) {
        if (read(*area_, next_, out)) {
            ++next_;
            return true;
        }
        if (area_->ring[next_ % kRing].seq.load(std::memory_order_acquire) <= next_ + 1)
            return false;  // still being written: next time
    }
    return false;
}

std::uint64_t Cursor::waiting() const
{
    const std::uint64_t head = area_->writes.load(std::memory_order_acquire);
    return head < next_ ? head : head - next_;
}

bool Cursor::before(Write &out) const
{
    if (hasBefore_)
        out = before_;
    return hasBefore_;
}

bool last(const Area &area, Write &out) { return Cursor(area).before(out); }

bool writer(const Area &area, int slot, std::int32_t &pid, std::string &name)
{
    const Writer &writer = area.writers[slot];
    pid = writer.ready.load(std::memory_order_acquire);
    if (pid == 0)
        return false;
    char text[sizeof writer.name + 1] = {};
    const std::uint64_t words[2] = {writer.name[0].load(std::memory_order_relaxed),
                                    writer.name[1].load(std::memory_order_relaxed)};
    std::memcpy(text, words, sizeof words);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (writer.ready.load(std::memory_order_relaxed) != pid || writer.pid.load(std::memory_order_relaxed) != pid ||
        !holds(writer, pid))
        return false;
    name = text;
    return true;
}

}  // namespace published
