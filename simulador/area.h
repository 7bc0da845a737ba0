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
    published::FileIdentity identity;
    off_t size = -1;
    bool sameFile(const FileId &other) const { return identity == other.identity; }
};

// The file `path` names, through symbolic links; false when it names none.
bool fileId(const std::string &path, FileId &id);

class MappedArea {
public:
    // Maps the area at `path`, made anew when it is missing (an empty file is
    // taken over). On failure sets `error` (Spanish, for a person) and keeps
    // what was mapped before.
    bool map(const std::string &path, std::string &error);

    published::Area &area() const { return *mapped_; }
    const std::string &path() const { return path_; }
    FileId file() const { return {mapped_.identity(), off_t(sizeof(published::Area))}; }  // the file mapped

    // Whether the path no longer names the mapped file at its full size: gone,
    // another file, or cut short. One stat.
    bool changed() const;

private:
    published::Mapped mapped_;
    std::string path_;
};

}  // namespace simulador
