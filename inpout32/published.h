// The port's state as the port library publishes it for viewers: a small
// shared-memory area of fixed size per user, "/motorpasos-1-<uid>" under
// /dev/shm. Writers and readers are separate processes; nothing here blocks
// or calls the system per write, and a reader that falls behind loses old
// entries, never the writer's speed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace published {

// Enough for the last 0.6 s at the fastest the programs write (one write every
// 18 µs, rotacion at speed 200 on a fast machine).
constexpr std::uint64_t kRing = 32768;
constexpr int kWriters = 8;

// One write. `seq` is the write's number plus one once the entry is complete,
// 0 while it is being filled: a reader that sees the same number before and
// after reading the entry has read it whole.
struct Entry {
    std::atomic<std::uint64_t> seq;
    std::atomic<std::uint64_t> time;    // CLOCK_MONOTONIC, ns
    std::atomic<std::uint32_t> write;   // address << 16 | (value & 0xffff)
};

// A program that has the port open: its pid (0: a free slot) and name. A
// program that was killed leaves its slot; readers check the pid is alive.
struct Writer {
    std::atomic<std::int32_t> pid;
    char name[16];
};

struct Area {
    std::atomic<std::uint64_t> writes;  // how many writes were ever published
    std::atomic<std::uint64_t> lastTime;
    std::atomic<std::int32_t> lastValue;
    Writer writers[kWriters];
    Entry ring[kRing];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the area is shared between processes");

std::string areaName();

// Where the area is, from the PARPORT_PUBLISH setting: "" when publishing is
// off ("0"), a file's path when the setting names one (tests, or a viewer
// pointed elsewhere), else the shared-memory name of this user's area.
std::string areaFrom(const char *setting);

// Maps the area at `where` (a path, or a shared-memory name), creating it when
// it does not exist yet. Returns nullptr and sets `error` (in Spanish, for a
// person) when it can't.
Area *mapArea(const std::string &where, std::string &error);
void unmapArea(Area *area);

// The writer's side.
int attach(Area &area, const char *name);  // takes a slot; returns it, or -1 when all are taken
void detach(Area &area, int slot);
inline void publish(Area &area, std::uint64_t time, unsigned short address, short value)
{
    const std::uint64_t n = area.writes.fetch_add(1, std::memory_order_relaxed);
    Entry &entry = area.ring[n % kRing];
    entry.seq.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    entry.time.store(time, std::memory_order_relaxed);
    entry.write.store(std::uint32_t(address) << 16 | std::uint16_t(value), std::memory_order_relaxed);
    entry.seq.store(n + 1, std::memory_order_release);
    area.lastTime.store(time, std::memory_order_relaxed);
    area.lastValue.store(value, std::memory_order_relaxed);
}

// The reader's side: the entry numbered `n`, if it is still in the ring and whole.
struct Write {
    std::uint64_t time;
    unsigned short address;
    short value;
};
inline bool read(const Area &area, std::uint64_t n, Write &out)
{
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

}  // namespace published
