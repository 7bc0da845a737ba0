#include "area.h"

#include <sys/stat.h>

namespace simulador {

bool fileId(const std::string &path, FileId &id)
{
    struct stat status;
    if (stat(path.c_str(), &status) < 0)
        return false;
    id = {published::FileIdentity::of(status), status.st_size};
    return true;
}

bool MappedArea::map(const std::string &path, std::string &error)
{
    // When the path changed hands while it was mapped, what was mapped may
    // not be what the path names: it is mapped again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        published::Mapped mapped = published::mapArea(path, error);
        if (!mapped)
            return false;
        FileId named;
        if (fileId(path, named) && named.identity == mapped.identity()) {
            mapped_ = std::move(mapped);
            path_ = path;
            return true;
        }
    }
    error = "No se pudo leer el área de publicación " + path + ": otro programa la sustituye una y otra vez.";
    return false;
}

bool MappedArea::changed() const
{
    FileId now;
    // A mapping lost to a cut stays lost even when someone fills the file again.
    return !fileId(path_, now) || now.identity != mapped_.identity() || now.size != off_t(sizeof(published::Area)) ||
           published::gone(*mapped_);
}

}  // namespace simulador
