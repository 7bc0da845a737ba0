// Where the running program is, so that advice names what works from there:
// run from the tree it was built in, the other programs are beside it in
// bin/ and nothing is installed (no `simulador` on the PATH, no man page, no
// menu entry); installed, they are commands.
#pragma once

#include <climits>
#include <cstdio>
#include <cstring>
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
    // This project's: its viewer is built there too, not another project's tree.
    return access((folder + "/CMakeCache.txt").c_str(), F_OK) == 0 &&
                   access((folder + "/bin/simulador").c_str(), X_OK) == 0
               ? folder
               : "";
}

// A path as a shell takes it: quoted when it holds anything but the plain characters of a path.
inline std::string quoted(const std::string &path)
{
    if (path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@") ==
        std::string::npos)
        return path;
    std::string text = "'";
    for (char c : path)
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

// The source tree that build tree was made from, as its CMakeCache.txt
// names it; "" when installed.
inline std::string sourceTree()
{
    const std::string tree = buildTree();
    std::FILE *cache = tree.empty() ? nullptr : std::fopen((tree + "/CMakeCache.txt").c_str(), "re");
    char line[PATH_MAX + 64];
    std::string source;
    const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    while (cache && std::fgets(line, sizeof line, cache))
        if (std::string(line).rfind(key, 0) == 0)
            source = std::string(line + key.size(), std::strcspn(line + key.size(), "\n"));
    if (cache)
        std::fclose(cache);
    return source;
}

// How to read the manual page `page` ("simulador.1") from where the program
// runs: installed, by its name; from its build tree, the source tree's page by
// its path, which man reads though none is installed yet.
inline std::string manCommand(const std::string &page)
{
    const std::string source = sourceTree();
    return source.empty() ? "man " + page.substr(0, page.find('.')) : "man -l " + quoted(source + "/packaging/" + page);
}

// How to start the viewer with `program` on the simulated port from where the
// running program is.
inline std::string viewerCommand(const std::string &program)
{
    const std::string tree = buildTree();
    return (tree.empty() ? "simulador" : quoted(tree + "/bin/simulador")) + " --con " + program;
}
