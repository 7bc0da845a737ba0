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

#include "owned.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <type_traits>

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

// Viewers of one version read areas that programs of another wrote: what a
// reader finds where must not move without a new kVersion (and kMagic).
static_assert(std::is_standard_layout_v<Area>, "the area is read by its offsets");
static_assert(offsetof(Header, magic) == 0 && offsetof(Header, version) == 8 && offsetof(Header, size) == 12 &&
              sizeof(Header) == 16, "the header of version 3");
static_assert(sizeof(Entry) == 24 && offsetof(Entry, seq) == 0 && offsetof(Entry, time) == 8 &&
              offsetof(Entry, write) == 16, "an entry of version 3");
static_assert(sizeof(Writer) == 32 && offsetof(Writer, pid) == 0 && offsetof(Writer, ready) == 4 &&
              offsetof(Writer, name) == 8 && offsetof(Writer, started) == 24, "a writer of version 3");
static_assert(offsetof(Area, header) == 0 && offsetof(Area, writes) == 16 && offsetof(Area, writers) == 24 &&
              offsetof(Area, ring) == 280 && sizeof(Area) == 280 + kRing * sizeof(Entry), "the area of version 3");

// The area's file (areafile.cpp): where it is, the locks beside it, and the
// file mapped.

// Where the area is, from the PARPORT_PUBLISH setting: "" when publishing is
// off ("0"), this user's area in shared memory when it is unset or empty, else
// the file it names (a plain name is a file in the current folder).
std::string areaFrom(const char *setting);

// The lock that lets one program at a time use this user's simulated port.
// It lives beside the area, so PARPORT_PUBLISH keeps apart programs that must
// not meet (tests run side by side); with publishing off it is the default
// area's.
std::string simulatedPortLock(const char *setting);
// How the line its holder writes into that lock begins: "libinpout32: vueltas
// (pid 1234)". A file that begins so is a lock, never a trace.
constexpr char kLockWord[] = "libinpout32: ";

// Opens `path` for reading and writing, never through a symbolic link,
// creating it with mode 0600 when `create` and it is missing. Holds nothing
// and sets `why` (Spanish, for a person) unless it is a regular file of this
// user's that no one else may write.
owned::Fd openOwnFile(const std::string &path, bool create, std::string &why);

// Whether another process holds the lock of `fd` (a viewer's, a port's): this
// process then holds it, exclusively, when it was free. A lock that can't be
// had for another reason (no descriptor, a file system without locks) counts
// as free: two viewers are better than none.
bool lockedByAnother(int fd);

// Which file, as the system tells files apart: the same name may come to
// name another file, and two names one file.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    static FileIdentity of(const struct stat &status) { return {status.st_dev, status.st_ino}; }
    bool operator==(const FileIdentity &other) const { return device == other.device && inode == other.inode; }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

// An area as mapArea maps it: the mapping, which it unmaps when it goes, and
// the file mapped. Empty when nothing could be mapped.
class Mapped {
public:
    Mapped() = default;
    explicit operator bool() const { return bool(mapping_); }
    Area &operator*() const { return *static_cast<Area *>(mapping_.get()); }
    Area *operator->() const { return &**this; }
    const FileIdentity &identity() const { return identity_; }

private:
    friend Mapped mapArea(const std::string &where, std::string &error);
    owned::Mapping mapping_;
    FileIdentity identity_;
};

// Maps the area at `where`, creating it when it does not exist yet (and
// taking over an empty file), with its space reserved. Empty, with `error`
// set (Spanish, one line), when it can't, or when the file is not an area of
// this layout and this user's: such a file is left as it was.
Mapped mapArea(const std::string &where, std::string &error);
// Whether the area's file was cut short under this process: its memory reads
// as zeros from then on, and it is no use to map it again in place.
bool gone(const Area &area);

// The ring and its writers (published.cpp). The writer's side.
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

// The reader's side. A write as published.
struct Write {
    std::uint64_t time;
    unsigned short address;
    short value;
};

// Where a reader is in the ring: it yields the writes this reader has not
// seen yet, oldest first, and counts those it lost. The writer never waits,
// so a reader that falls more than the ring behind (or is slow while an entry
// is overwritten under it) loses entries; an area made anew (emptied under a
// reader, whose memory then reads as zeros) starts again from its first write.
// This is the only reader of the entries' numbers.
class Cursor {
public:
    static constexpr std::uint64_t kPresent = ~0ULL;

    // At the present (kPresent): what is published from now on. Else at the
    // oldest write the ring holds of those stamped at `since` or later.
    explicit Cursor(const Area &area, std::uint64_t since = kPresent);

    // The next write not seen yet: false when there is none, or when the next
    // is still being written (it comes at a later call).
    bool next(Write &out);
    // How many were published and not yet read, those being written included.
    std::uint64_t waiting() const;
    // How many were lost: overwritten before this reader read them.
    std::uint64_t overrun() const { return overrun_; }
    // Whether, placed at a time, the ring had already lost writes stamped from then on.
    bool lateStart() const { return lateStart_; }
    // The write just before the first one this cursor yields, which set the
    // lines as they stood then: false when the ring no longer holds it whole,
    // or nothing was written before.
    bool before(Write &out) const;

private:
    static bool read(const Area &area, std::uint64_t n, Write &out);

    const Area *area_;
    std::uint64_t next_ = 0;
    std::uint64_t overrun_ = 0;
    bool lateStart_ = false;
    bool hasBefore_ = false;
    Write before_{};
};

// The newest whole write, its value and time read as one; false when none.
bool last(const Area &area, Write &out);

// A program that has the port open, if the slot holds one whose name is whole.
bool writer(const Area &area, int slot, std::int32_t &pid, std::string &name);

}  // namespace published
