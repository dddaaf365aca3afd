// The lister's five output formats (single column, columns down, across, stream,
// long) and the pieces they share: entry names, type characters, printable names,
// dates and symbolic-link targets.
#include <bsd/string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lister/lister_state.h"

namespace {

using namespace lister;

// Times closer to "now" than this (in either direction) show the clock time,
// others the year.
constexpr std::time_t six_months = 15724800;

// Longest link path formed for readlink, and longest target read: the system's
// own limit, so that no target is ever shown cut short.
constexpr std::size_t link_path_max = PATH_MAX - 1;
constexpr std::size_t link_target_max = PATH_MAX - 1;

// The entry table of the multi-column format: grows to the largest block seen
// and lives until the end of the run.
FTSENT** column_table = nullptr;
int column_table_size = 0;

bool shown(const FTSENT* entry) { return entry->fts_number != not_shown; }

int print_printable(const char* name) {
    // Bytes from the single-byte limit up are parts of multibyte characters (or
    // no characters at all) and are never printed as they are.
    int single_byte_limit = MB_CUR_MAX == 1 ? 256 : 128;
    int count = 0;
    for (const char* p = name; *p != '\0'; ++p, ++count) {
        int byte = static_cast<unsigned char>(*p);
        std::putchar(byte < single_byte_limit && std::isprint(byte) ? byte : '?');
    }
    return count;
}

int print_name(const char* name) {
    if (state.nonprint_as_question) return print_printable(name);
    std::fputs(name, stdout);
    return static_cast<int>(std::strlen(name));
}

int print_type_char(mode_t mode) {
    char mark = '\0';
    switch (mode & S_IFMT) {
        case S_IFDIR: mark = '/'; break;
        case S_IFLNK: mark = '@'; break;
        case S_IFIFO: mark = '|'; break;
        case S_IFSOCK: mark = '='; break;
#ifdef S_IFWHT
        case S_IFWHT: mark = '%'; break;
#endif
        default:
            if ((mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) mark = '*';
            break;
    }
    if (mark == '\0') return 0;
    std::putchar(mark);
    return 1;
}

// The mark after a name: the type character with "F", "/" for directories with "p".
int print_name_mark(mode_t mode) {
    if (state.classify) return print_type_char(mode);
    if (state.slash_dirs && S_ISDIR(mode)) return print_type_char(mode);
    return 0;
}

unsigned long long entry_blocks(const struct stat* status) {
    return static_cast<unsigned long long>(
        block_count(static_cast<std::uint64_t>(status->st_blocks)));
}

unsigned long inode_number(const struct stat* status) {
    return static_cast<unsigned long>(status->st_ino);
}

int print_entry_name(const FTSENT* entry, int inode_width, int block_width) {
    int count = 0;
    if (state.show_inode)
        count += std::printf("%*lu ", inode_width, inode_number(entry->fts_statp));
    if (state.show_blocks)
        count += std::printf("%*llu ", block_width, entry_blocks(entry->fts_statp));
    count += print_name(entry->fts_name);
    // Without "F" or "p" the walk may have skipped file status.
    if (state.classify || state.slash_dirs) count += print_name_mark(entry->fts_statp->st_mode);
    return count;
}

void pad_to(int printed, int width) {
    for (int i = printed; i < width; ++i) std::putchar(' ');
}

void print_total(const DisplayInfo& info) {
    if (info.list->fts_level > FTS_ROOTLEVEL && (state.show_blocks || state.long_format))
        std::printf("total %llu\n",
                    static_cast<unsigned long long>(block_count(info.total_blocks)));
}

// Width of one column before the division of the terminal width.
int column_width(const DisplayInfo& info) {
    int width = info.max_name_len;
    if (state.show_inode) width += info.inode_width + 1;
    if (state.show_blocks) width += info.block_width + 1;
    return width;
}

int mark_width() { return state.classify || state.slash_dirs ? 1 : 0; }

bool too_wide_for_columns(const DisplayInfo& info) {
    return state.term_width < 2 * (column_width(info) + mark_width()) + 2;
}

// The ctime layout ("Sun Oct  1 12:00:05 2023\n") of `seconds` in local time, or
// false when the time has no such text. Uses localtime_r, which keeps the zone
// loaded at start-up instead of looking for zone files again (they may be
// outside a changed root).
bool time_text(std::time_t seconds, char* text, std::size_t size) {
    static constexpr const char* weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm parts {};
    if (localtime_r(&seconds, &parts) == nullptr) return false;
    if (asctime_r(&parts, text) != nullptr) return true;
    // Years of five digits and more do not fit asctime's 26 bytes; lay them out
    // the same way in the larger buffer.
    if (parts.tm_wday < 0 || parts.tm_wday > 6 || parts.tm_mon < 0 || parts.tm_mon > 11)
        return false;
    int length = std::snprintf(text, size, "%s %s%3d %.2d:%.2d:%.2d %lld\n",
                               weekdays[parts.tm_wday], months[parts.tm_mon], parts.tm_mday,
                               parts.tm_hour, parts.tm_min, parts.tm_sec,
                               static_cast<long long>(parts.tm_year) + 1900);
    return length > 0 && static_cast<std::size_t>(length) < size;
}

void print_time(std::time_t seconds, std::time_t now) {
    char text[64];
    if (!time_text(seconds, text, sizeof text)) {
        std::fputs(state.full_time ? "??? ?? ??:??:?? ???? " : "??? ??  ???? ", stdout);
        return;
    }
    // Positions in the ctime text: 4 month and day, 11 clock, 20 year.
    char* year = text + 20;
    year[std::strcspn(year, "\n")] = '\0';
    std::printf("%.7s", text + 4);
    if (state.full_time)
        std::printf("%.8s %s", text + 11, year);
    else if (seconds > now - six_months && seconds < now + six_months)
        std::printf("%.5s", text + 11);
    else
        std::printf(" %4s", year);
    std::putchar(' ');
}

// " -> target" of a symbolic link, or the reason it cannot be read on standard
// error. The link is reached from the current directory of the walk: an operand
// by its name, anything else through its parent's access path.
void print_link_target(const FTSENT* entry) {
    char path[link_path_max + 1];
    const char* link_path = entry->fts_name;
    if (entry->fts_level > FTS_ROOTLEVEL) {
        int length = std::snprintf(path, sizeof path, "%s/%s", entry->fts_parent->fts_accpath,
                                   entry->fts_name);
        link_path = path;
        // A cut path could name another file; report the length instead.
        if (length < 0 || static_cast<std::size_t>(length) > link_path_max) {
            std::fprintf(stderr, "\nls: %s: %s\n", path, std::strerror(ENAMETOOLONG));
            return;
        }
    }
    char target[link_target_max + 1];
    ssize_t length = readlink(link_path, target, link_target_max);
    if (length < 0) {
        std::fprintf(stderr, "\nls: %s: %s\n", link_path, std::strerror(errno));
        return;
    }
    target[length] = '\0';
    std::fputs(" -> ", stdout);
    print_name(target);
}

void print_long_entry(const FTSENT* entry, const DisplayInfo& info, std::time_t now) {
    const struct stat* status = entry->fts_statp;
    const auto* names = static_cast<const OwnerNames*>(entry->fts_pointer);
    if (state.show_inode) std::printf("%*lu ", info.inode_width, inode_number(status));
    if (state.show_blocks) std::printf("%*llu ", info.block_width, entry_blocks(status));
    char mode[12];
    strmode(status->st_mode, mode);
    std::printf("%s %*lu %-*s  %-*s  ", mode, info.links_width,
                static_cast<unsigned long>(status->st_nlink), info.user_width, names->user,
                info.group_width, names->group);
    if (state.show_flags) std::printf("%-*s ", info.flags_width, names->flags);
    if (S_ISCHR(status->st_mode) || S_ISBLK(status->st_mode))
        std::printf("%*u, %*u ", info.major_width, major(status->st_rdev), info.minor_width,
                    minor(status->st_rdev));
    else
        std::printf("%*llu ", info.size_width, static_cast<unsigned long long>(status->st_size));
    if (state.use_atime)
        print_time(status->st_atim.tv_sec, now);
    else if (state.use_ctime)
        print_time(status->st_ctim.tv_sec, now);
    else
        print_time(status->st_mtim.tv_sec, now);
    print_name(entry->fts_name);
    print_name_mark(status->st_mode);
    if (S_ISLNK(status->st_mode)) print_link_target(entry);
    std::putchar('\n');
}

}  // namespace

namespace lister {

void print_single_column(const DisplayInfo& info) {
    for (const FTSENT* entry = info.list; entry != nullptr; entry = entry->fts_link) {
        if (!shown(entry)) continue;
        print_entry_name(entry, info.inode_width, info.block_width);
        std::putchar('\n');
    }
}

void print_columns(const DisplayInfo& info) {
    if (too_wide_for_columns(info)) {
        print_single_column(info);
        return;
    }
    if (info.entry_count > column_table_size) {
        auto grown = static_cast<FTSENT**>(std::realloc(
            column_table, static_cast<std::size_t>(info.entry_count) * sizeof(FTSENT*)));
        if (grown == nullptr) {
            warning_errno();
            print_single_column(info);
            return;
        }
        column_table = grown;
        column_table_size = info.entry_count;
    }
    int count = 0;
    for (FTSENT* entry = info.list; entry != nullptr; entry = entry->fts_link) {
        if (shown(entry)) column_table[count++] = entry;
    }

    int column_count = state.term_width / (column_width(info) + mark_width() + 1);
    int width = state.term_width / column_count;
    int rows = count / column_count + (count % column_count != 0 ? 1 : 0);
    print_total(info);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < column_count; ++column) {
            int printed = print_entry_name(column_table[row + column * rows], info.inode_width,
                                           info.block_width);
            if (row + (column + 1) * rows >= count) break;
            pad_to(printed, width);
        }
        std::putchar('\n');
    }
}

void print_across(const DisplayInfo& info) {
    if (too_wide_for_columns(info)) {
        print_single_column(info);
        return;
    }
    int column_count = state.term_width / (column_width(info) + mark_width() + 1);
    int width = state.term_width / column_count;
    print_total(info);
    int on_row = 0;
    for (const FTSENT* entry = info.list; entry != nullptr; entry = entry->fts_link) {
        if (!shown(entry)) continue;
        if (on_row == column_count) {
            std::putchar('\n');
            on_row = 0;
        }
        pad_to(print_entry_name(entry, info.inode_width, info.block_width), width);
        ++on_row;
    }
    std::putchar('\n');
}

void print_stream(const DisplayInfo& info) {
    int extra = (state.show_inode ? info.inode_width + 1 : 0) +
                (state.show_blocks ? info.block_width + 1 : 0) + (state.classify ? 1 : 0);
    int on_line = 0;
    for (const FTSENT* entry = info.list; entry != nullptr; entry = entry->fts_link) {
        if (!shown(entry)) continue;
        if (on_line > 0) {
            // The comma stays on the line; the next name goes on the same line
            // only when it fits there.
            std::putchar(',');
            if (entry->fts_namelen + extra + on_line + 2 < state.term_width) {
                std::putchar(' ');
                on_line += 2;
            } else {
                std::putchar('\n');
                on_line = 0;
            }
        }
        on_line += print_entry_name(entry, info.inode_width, info.block_width);
    }
    std::putchar('\n');
}

void print_long_format(const DisplayInfo& info) {
    std::time_t now = std::time(nullptr);
    print_total(info);
    for (const FTSENT* entry = info.list; entry != nullptr; entry = entry->fts_link) {
        if (shown(entry)) print_long_entry(entry, info, now);
    }
}

void release_column_table() {
    std::free(column_table);
    column_table = nullptr;
    column_table_size = 0;
}

}  // namespace lister
