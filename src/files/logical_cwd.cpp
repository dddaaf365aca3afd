// The server's own record of the current directory, for PWD when the system cannot
// tell it (a directory above the current one is not searchable).
#include "files/logical_cwd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

char logical_cwd[logical_cwd_size] = "/";

namespace {

constexpr std::size_t path_room = logical_cwd_size;

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from))
        text.replace(at, from.size(), to);
}

// "//" to "/", then "/./" to "/", each until none is left.
void squeeze(std::string& path) {
    replace_all(path, "//", "/");
    replace_all(path, "/./", "/");
}

// Resolve the symbolic links among the leading components. False when a result
// would not fit the path room.
bool resolve_links(std::string& path) {
    // Each replacement removes a link from the path; a loop of links would go on
    // for ever, so the number of replacements is bounded like the system's own.
    constexpr int most_replacements = 40;
    for (int replacements = 0; replacements <= most_replacements; ++replacements) {
        squeeze(path);
        bool replaced = false;
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            if (slash > path_room) return false;
            std::string before = path.substr(0, slash);
            char target[path_room + 1];
            ssize_t length = readlink(before.c_str(), target, path_room);
            if (length < 0) continue;
            std::string link(target, static_cast<std::size_t>(length));
            if (!link.empty() && link.back() == '/') link.pop_back();
            std::string rest = path.substr(slash);
            if (!link.empty() && link[0] == '/') {
                if (link.size() + rest.size() > path_room) return false;
                path = link + rest;
            } else {
                std::size_t component_start = before.rfind('/') + 1;
                std::size_t component_length = before.size() - component_start;
                if (path.size() + link.size() + component_length + 2 > path_room) return false;
                path = before.substr(0, component_start) + link + rest;
            }
            replaced = true;
            break;
        }
        if (!replaced) return true;
    }
    return false;
}

// Remove "/../" with the component before it; a leading "/../" loses its "/..".
void remove_parent_steps(std::string& path) {
    for (std::size_t at = path.find("/../"); at != std::string::npos; at = path.find("/../")) {
        if (at == 0) {
            path.erase(0, 3);
            continue;
        }
        std::size_t start = path.rfind('/', at - 1);
        path.erase(start, at + 3 - start);
    }
}

bool same_directory_as_cwd(const std::string& path) {
    struct stat there {};
    struct stat here {};
    return stat(path.c_str(), &there) == 0 && stat(".", &here) == 0 && there.st_dev == here.st_dev &&
           there.st_ino == here.st_ino;
}

void append_as_given(const char* path) {
    std::string appended = std::string(logical_cwd) + "/" + path;
    std::snprintf(logical_cwd, sizeof logical_cwd, "%s", appended.c_str());
}

}  // namespace

bool build_logical_path(const char* previous, const char* path, std::string& result) {
    std::string work = path[0] == '/' ? std::string(path) + "/"
                                      : std::string(previous) + "/" + path + "/";
    if (work.size() >= path_room) work.resize(path_room - 1);
    if (!resolve_links(work)) return false;
    remove_parent_steps(work);
    if (work.size() > 1 && work.back() == '/') work.pop_back();
    result = work;
    return true;
}

void refresh_logical_cwd(const char* path) {
    char current[logical_cwd_size];
    if (getcwd(current, sizeof current) != nullptr) {
        std::memcpy(logical_cwd, current, sizeof current);
        return;
    }
    std::string built;
    if (!build_logical_path(logical_cwd, path, built) || !same_directory_as_cwd(built)) {
        append_as_given(path);
        return;
    }
    std::snprintf(logical_cwd, sizeof logical_cwd, "%s", built.c_str());
}
