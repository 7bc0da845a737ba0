// Where the running program is, so that advice names what works from there:
// run from the tree it was built in, the other programs are beside it in
// bin/ and nothing is installed (no `simulador` on the PATH, no man page, no
// menu entry); installed, they are commands.
#pragma once

#include <climits>
#include <string>
#include <unistd.h>

// The build tree the running program was built in (the folder that holds
// CMakeCache.txt, above the program's own folder), or "" when installed.
inline std::string buildTree()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    std::string folder(self, size_t(n));
    folder = folder.substr(0, folder.rfind('/'));
    folder = folder.substr(0, folder.rfind('/'));
    return access((folder + "/CMakeCache.txt").c_str(), F_OK) == 0 ? folder : "";
}

// How to start the viewer with `program` on the simulated port from where the
// running program is.
inline std::string viewerCommand(const std::string &program)
{
    const std::string tree = buildTree();
    return (tree.empty() ? "simulador" : tree + "/bin/simulador") + " --con " + program;
}
