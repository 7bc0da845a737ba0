// Tells the trace when another program changes its file while it runs: a
// command's output sent onto it with `>`, `echo note >> trace`, an editor
// saving over it, `truncate`. The kernel reports others' writes, cuts and
// removals of the file (inotify), but no store into a mapping of it, so the
// trace's own lines go unreported; its other changes (its reserve, its end)
// are made inside an Own and their reports dropped. A small thread waits for
// the reports and sets a flag; the trace tests that flag before each store,
// which costs no system call. Reading the file (`tail -f`, an editor opening
// it) reports nothing. The instance comes through sys(), where the tests can
// make it fail as the kernel does at its limits.
#pragma once

#include "owned.h"

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <string>

namespace inpout {

// Whether changes made to files of a file system of this type (statfs's
// f_type) by other machines reach this one's reports: not on network file
// systems nor on FUSE, where the file may live elsewhere.
bool reportsOthersChanges(long type);

class FileWatch {
public:
    FileWatch() = default;
    FileWatch(const FileWatch &) = delete;
    FileWatch &operator=(const FileWatch &) = delete;
    ~FileWatch() { stop(); }

    // Starts watching the open file `fd`. Returns "" or, for a person, why
    // changes by others can't be noticed (or not all of them), a sentence
    // that follows the file's name: the file is still written, unwatched.
    std::string start(int fd);
    // Stops the thread (in the process that started it; a forked child has none).
    void stop();

    // Another program changed the file since the last clear().
    bool changed() const { return changed_.load(std::memory_order_acquire); }
    void clear() { changed_.store(false, std::memory_order_release); }

    // Around the trace's own changes to its file: what they make the kernel
    // report is not another program's doing.
    class Own {
    public:
        explicit Own(FileWatch &watch);
        ~Own();
        Own(const Own &) = delete;
        Own &operator=(const Own &) = delete;

    private:
        FileWatch &watch_;
    };

private:
    static void *run(void *self);
    bool takeReports();  // reads what the kernel reported; whether any

    owned::Fd reports_;   // the inotify instance
    owned::Fd wake_;      // an eventfd that stops the thread
    pthread_t thread_{};
    pid_t starter_ = 0;   // the process whose thread it is
    std::mutex mutex_;    // the thread's reading, or the trace's own change
    std::atomic<bool> changed_{false};
};

}  // namespace inpout
