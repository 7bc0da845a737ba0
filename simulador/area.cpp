#include "area.h"

#include <sys/stat.h>

namespace simulador {

bool fileId(const std::string &path, FileId &id)
{
    struct stat status;
    if (stat(path.c_str(), &status) < 0)
        return false;
    id = {status.st_dev, status.st_ino, status.st_size};
    return true;
}

bool MappedArea::map(const std::string &path, std::string &error)
{
    // The file is told apart before and after mapping: when the path changed
    // hands in between, what was mapped may not be what the path names, so
    // it is mapped again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        FileId before, after;
        const bool existed = fileId(path, before);
        published::Area *area = published::mapArea(path, error);
        if (!area)
            return false;
        if (fileId(path, after) && (!existed || before.sameFile(after))) {
            published::unmapArea(area_);
            area_ = area;
            path_ = path;
            file_ = after;
            return true;
        }
        published::unmapArea(area);
    }
    error = "No se pudo leer el área de publicación " + path + ": otro programa la sustituye una y otra vez.";
    return false;
}

bool MappedArea::changed() const
{
    FileId now;
    // A mapping lost to a cut stays lost even when someone fills the file again.
    return !fileId(path_, now) || !now.sameFile(file_) || now.size != off_t(sizeof(published::Area)) ||
           published::gone(*area_);
}

}  // namespace simulador
