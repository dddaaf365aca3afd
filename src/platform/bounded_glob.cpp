// glob with bounded work.
#include "platform/bounded_glob.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

namespace {

std::size_t entries_read = 0;
bool limit_reached = false;

void* counted_opendir(const char* name) { return opendir(name); }

dirent* counted_readdir(void* directory) {
    if (++entries_read > glob_entry_limit) {
        limit_reached = true;
        return nullptr;
    }
    return readdir(static_cast<DIR*>(directory));
}

void counted_closedir(void* directory) { closedir(static_cast<DIR*>(directory)); }

int plain_lstat(const char* path, struct stat* st) { return lstat(path, st); }
int plain_stat(const char* path, struct stat* st) { return stat(path, st); }

// How many patterns brace expansion makes of `pattern`, saturating above `cap`.
// Alternatives of a group add up, groups one after the other multiply.
std::size_t brace_expansions(const char*& p, std::size_t cap, bool inside_group) {
    std::size_t total = 0;        // alternatives of the group so far
    std::size_t alternative = 1;  // patterns of the current alternative
    for (; *p != '\0'; ++p) {
        if (*p == '\\' && p[1] != '\0') {
            ++p;
        } else if (*p == '{') {
            ++p;
            std::size_t inner = brace_expansions(p, cap, true);
            alternative = alternative > cap / (inner == 0 ? 1 : inner) ? cap + 1 : alternative * inner;
            if (*p == '\0') break;
        } else if (inside_group && *p == ',') {
            total = total + alternative > cap ? cap + 1 : total + alternative;
            alternative = 1;
        } else if (inside_group && *p == '}') {
            return total + alternative > cap ? cap + 1 : total + alternative;
        }
    }
    return total + alternative > cap ? cap + 1 : total + alternative;
}

}  // namespace

int bounded_glob(const char* pattern, int flags, glob_t* results) {
    std::memset(results, 0, sizeof *results);
    if ((flags & GLOB_BRACE) != 0) {
        const char* p = pattern;
        if (brace_expansions(p, glob_result_limit, false) > glob_result_limit) return GLOB_NOSPACE;
    }
    entries_read = 0;
    limit_reached = false;
    results->gl_opendir = counted_opendir;
    results->gl_readdir = reinterpret_cast<dirent* (*)(void*)>(counted_readdir);
    results->gl_closedir = counted_closedir;
    results->gl_lstat = plain_lstat;
    results->gl_stat = plain_stat;
    int status = glob(pattern, flags | GLOB_ALTDIRFUNC, nullptr, results);
    if (status == 0 && (limit_reached || results->gl_pathc > glob_result_limit)) return GLOB_NOSPACE;
    return status;
}
