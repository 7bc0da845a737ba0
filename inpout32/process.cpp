#include "process.h"
#include "owned.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace process {

bool alive(std::int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno != ESRCH); }

// The 22nd field of /proc/PID/stat. The name before it is in parentheses and
// may hold anything, spaces and parentheses too.
std::uint64_t startOf(std::int32_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const owned::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return 0;
    char text[1024];
    const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    const char *field = std::strrchr(text, ')');
    for (int i = 2; field && i < 22; ++i)  // the name is field 2
        field = std::strchr(field + 1, ' ');
    return field ? std::strtoull(field + 1, nullptr, 10) : 0;
}

}  // namespace process
