// The port's state as the port library publishes it for viewers: a small
// area of fixed size per user, /dev/shm/motorpasos-3-<uid> (or a file named
// by PARPORT_PUBLISH). Writers and readers are separate processes; nothing
// here blocks or calls the system per write, and a reader that falls behind
// loses old entries, never the writer's speed.
//
// The area is used only when it is this user's own, no one else may write
// it, and it starts with this layout's header: a file that is anything else
// is left exactly as it is.
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
constexpr std::uint64_t kMagic = 0x7361706f746f6d01ULL;  // the first 8 bytes: 01 "motopas"
constexpr std::uint32_t kVersion = 3;

// One write. `seq` is the write's number plus one once the entry is complete,
// 0 while it is being filled: a reader that sees the same number before and
// after reading the entry has read it whole.
struct Entry {
    std::atomic<std::uint64_t> seq;
    std::atomic<std::uint64_t> time;    // CLOCK_MONOTONIC, ns
    std::atomic<std::uint32_t> write;   // address << 16 | (value & 0xffff)
};

// A program that has the port open. `pid` claims the slot (0: free); `ready`
// becomes that pid only once the name and start are stored, so a reader never
// sees half a name. A program that was killed leaves its slot; readers check
// that a process with that pid and that start time still runs (a pid alone
// may have been given to another process since), and the next writer takes
// the slot over.
struct Writer {
    std::atomic<std::int32_t> pid;
    std::atomic<std::int32_t> ready;
    std::atomic<std::uint64_t> name[2];  // up to 15 characters and a zero
    std::atomic<std::uint64_t> started;  // the process's start, in clock ticks since boot
};

struct Header {
    std::atomic<std::uint64_t> magic;  // stored last: the area is whole once it is there
    std::uint32_t version;
    std::uint32_t size;                // sizeof(Area)
};

struct Area {
    Header header;
    std::atomic<std::uint64_t> writes;  // how many writes were ever published
    Writer writers[kWriters];
    Entry ring[kRing];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the area is shared between processes");

// Where the area is, from the PARPORT_PUBLISH setting: "" when publishing is
// off ("0"), this user's area in shared memory when it is unset or empty, else
// the file it names (a plain name is a file in the current folder).
std::string areaFrom(const char *setting);

// The lock that lets one program at a time use this user's simulated port.
// It lives beside the area, so PARPORT_PUBLISH keeps apart programs that must
// not meet (tests run side by side); with publishing off it is the default
// area's.
std::string simulatedPortLock(const char *setting);

// Opens `path` for reading and writing, never through a symbolic link,
// creating it with mode 0600 when `create` and it is missing. Returns -1 and
// sets `why` (Spanish, for a person) unless it is a regular file of this
// user's that no one else may write.
int openOwnFile(const std::string &path, bool create, std::string &why);

// Maps the area at `where`, creating it when it does not exist yet (and
// taking over an empty file), with its space reserved. Returns nullptr and
// sets `error` (Spanish, one line) when it can't, or when the file is not an
// area of this layout and this user's: such a file is left as it was.
Area *mapArea(const std::string &where, std::string &error);
void unmapArea(Area *area);
// Whether the area's file was cut short under this process: its memory reads
// as zeros from then on, and it is no use to map it again in place.
bool gone(const Area &area);

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

// The newest whole write, its value and time read as one; false when none.
bool last(const Area &area, Write &out);

// A program that has the port open, if the slot holds one whose name is whole.
bool writer(const Area &area, int slot, std::int32_t &pid, std::string &name);

}  // namespace published
