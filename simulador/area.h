// The published area as the viewer holds it: mapped from its path, and
// whether the path still names that file. An area can be deleted, replaced
// or cut short under a running viewer (by hand, by the clean-up at logout, by
// a cleaner of temporary files) while programs go on in a new one. No widgets.
#pragma once

#include "published.h"

#include <string>
#include <sys/types.h>

namespace simulador {

// A file as the system tells it apart, and its size.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    bool sameFile(const FileId &other) const { return device == other.device && inode == other.inode; }
};

// The file `path` names, through symbolic links; false when it names none.
bool fileId(const std::string &path, FileId &id);

class MappedArea {
public:
    MappedArea() = default;
    MappedArea(const MappedArea &) = delete;
    MappedArea &operator=(const MappedArea &) = delete;
    ~MappedArea() { published::unmapArea(area_); }

    // Maps the area at `path`, made anew when it is missing (an empty file is
    // taken over). On failure sets `error` (Spanish, for a person) and keeps
    // what was mapped before.
    bool map(const std::string &path, std::string &error);

    published::Area &area() const { return *area_; }
    const std::string &path() const { return path_; }
    const FileId &file() const { return file_; }  // the file mapped

    // Whether the path no longer names the mapped file at its full size: gone,
    // another file, or cut short. One stat.
    bool changed() const;

private:
    published::Area *area_ = nullptr;
    std::string path_;
    FileId file_;
};

}  // namespace simulador
