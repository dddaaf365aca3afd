// FEAT, OPTS, MLST and MLSD: machine-readable listings and the feature list.
#include "files/mlst.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "command/tables.h"
#include "config/class_settings.h"
#include "login/login_state.h"
#include "server/control.h"
#include "transfer/counters.h"
#include "transfer/data_connection.h"
#include "transfer/errno_reply.h"

// What a fact writer is told about one file.
struct MlstEntry {
    const char* path;            // access path: what the file is examined and opened by
    const char* name;            // display name
    struct stat st;              // the file's status (links followed)
    const struct stat* dir_st;   // the containing directory's status, or null
    int flags;                   // mlsd_listing, listed_directory
};

using FactWriter = void (*)(const char* name, FILE* stream, const MlstEntry& entry);

struct MlstFact {
    const char* name;
    int enabled;
    FactWriter write;
};

namespace {

constexpr int mlsd_listing = 1;
constexpr int listed_directory = 2;
constexpr std::size_t entry_path_size = 1024;
constexpr std::size_t parent_path_limit = 1020;

// Which class of the file's permission bits applies to this user.
enum class Who { owner, group, other };

Who who_for(const struct stat& st) {
    if (st.st_uid == geteuid()) return Who::owner;
    for (int i = 0; i < user_group_count; ++i) {
        if (user_groups[i] == st.st_gid) return Who::group;
    }
    return Who::other;
}

bool permitted(const struct stat& st, mode_t owner_bit) {
    switch (who_for(st)) {
        case Who::owner: return (st.st_mode & owner_bit) != 0;
        case Who::group: return (st.st_mode & (owner_bit >> 3)) != 0;
        case Who::other: return (st.st_mode & (owner_bit >> 6)) != 0;
    }
    return false;
}

bool readable(const struct stat& st) { return permitted(st, S_IRUSR); }
bool writable(const struct stat& st) { return permitted(st, S_IWUSR); }
bool executable(const struct stat& st) { return permitted(st, S_IXUSR); }

// Is the directory that holds the entry writable for this user?
bool parent_writable(const MlstEntry& entry) {
    if (entry.dir_st != nullptr) return writable(*entry.dir_st);
    if (!curclass.has(class_flag::modify)) return false;
    std::size_t length = std::strlen(entry.path);
    if (length >= parent_path_limit) return false;
    char parent[entry_path_size];
    if (S_ISDIR(entry.st.st_mode)) {
        std::snprintf(parent, sizeof parent, "%s/..", entry.path);
    } else if (const char* slash = std::strrchr(entry.path, '/'); slash == nullptr) {
        std::strcpy(parent, ".");
    } else if (slash == entry.path) {
        std::strcpy(parent, "/");
    } else {
        std::memcpy(parent, entry.path, static_cast<std::size_t>(slash - entry.path));
        parent[slash - entry.path] = '\0';
    }
    struct stat st {};
    return stat(parent, &st) == 0 && writable(st);
}

bool directory_is_empty(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return false;
    bool empty = true;
    for (dirent* e = readdir(dir); empty && e != nullptr; e = readdir(dir))
        empty = std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0;
    closedir(dir);
    return empty;
}

void write_fact_type(const char* name, FILE* stream, const MlstEntry& entry) {
    const struct stat& st = entry.st;
    counted_printf(stream, "%s=", name);
    if (S_ISREG(st.st_mode)) {
        counted_printf(stream, "file");
    } else if (S_ISDIR(st.st_mode)) {
        bool listed = (entry.flags & mlsd_listing) != 0;
        if (listed && ((entry.flags & listed_directory) != 0 || std::strcmp(entry.name, ".") == 0))
            counted_printf(stream, "cdir");
        else if (listed && std::strcmp(entry.name, "..") == 0)
            counted_printf(stream, "pdir");
        else
            counted_printf(stream, "dir");
    } else if (S_ISFIFO(st.st_mode)) {
        counted_printf(stream, "OS.unix=fifo");
    } else if (S_ISLNK(st.st_mode)) {
        counted_printf(stream, "OS.unix=slink");
    } else if (S_ISSOCK(st.st_mode)) {
        counted_printf(stream, "OS.unix=socket");
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        counted_printf(stream, "OS.unix=%s-%llu/%llu", S_ISCHR(st.st_mode) ? "chr" : "blk",
                       static_cast<unsigned long long>(major(st.st_rdev)),
                       static_cast<unsigned long long>(minor(st.st_rdev)));
    } else {
        counted_printf(stream, "OS.unix=UNKNOWN(0%o)", static_cast<unsigned>(st.st_mode & S_IFMT));
    }
    counted_printf(stream, ";");
}

void write_fact_size(const char* name, FILE* stream, const MlstEntry& entry) {
    if (S_ISREG(entry.st.st_mode))
        counted_printf(stream, "%s=%lld;", name, static_cast<long long>(entry.st.st_size));
}

void write_fact_modify(const char* name, FILE* stream, const MlstEntry& entry) {
    struct tm utc {};
    gmtime_r(&entry.st.st_mtime, &utc);
    counted_printf(stream, "%s=%04d%02d%02d%02d%02d%02d;", name, utc.tm_year + 1900, utc.tm_mon + 1,
                   utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

void write_fact_perm(const char* name, FILE* stream, const MlstEntry& entry) {
    const struct stat& st = entry.st;
    bool r = readable(st);
    bool w = writable(st);
    bool x = executable(st);
    bool pw = parent_writable(entry);
    bool file = S_ISREG(st.st_mode);
    bool dir = S_ISDIR(st.st_mode);
    bool modify = curclass.has(class_flag::modify);
    bool upload = curclass.has(class_flag::upload);
    counted_printf(stream, "%s=", name);
    struct Letter {
        char letter;
        bool shown;
    };
    const Letter letters[] = {
        {'a', w && upload && file},
        {'c', w && modify && dir},
        {'d', pw && modify && (!dir || directory_is_empty(entry.path))},
        {'e', x && dir},
        {'f', pw && modify},
        {'l', r && x && dir},
        {'m', w && modify && dir},
        {'p', w && modify && dir},
        {'r', r && file},
        {'w', w && upload && file},
    };
    for (const Letter& l : letters) {
        if (l.shown) counted_printf(stream, "%c", l.letter);
    }
    counted_printf(stream, ";");
}

void write_fact_unique(const char* name, FILE* stream, const MlstEntry& entry) {
    char text[unique_fact_size];
    unique_fact_text(static_cast<unsigned long long>(entry.st.st_dev),
                     static_cast<unsigned long long>(entry.st.st_ino), text);
    counted_printf(stream, "%s=%s;", name, text);
}

}  // namespace

void unique_fact_text(unsigned long long device, unsigned long long inode, char* text) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(device >> (8 * i));
        bytes[8 + i] = static_cast<unsigned char>(inode >> (8 * i));
    }
    std::size_t used = 0;
    for (std::size_t i = 0; i < sizeof bytes; i += 3) {
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        std::size_t present = std::min<std::size_t>(3, sizeof bytes - i);
        if (present > 1) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        if (present > 2) group |= bytes[i + 2];
        for (std::size_t k = 0; k <= present; ++k) text[used++] = alphabet[(group >> (18 - 6 * k)) & 63];
    }
    text[used] = '\0';
}

MlstFact mlst_facts[] = {
    {.name = "Type", .enabled = 1, .write = write_fact_type},
    {.name = "Size", .enabled = 1, .write = write_fact_size},
    {.name = "Modify", .enabled = 1, .write = write_fact_modify},
    {.name = "Perm", .enabled = 1, .write = write_fact_perm},
    {.name = "Unique", .enabled = 1, .write = write_fact_unique},
};

namespace {

bool fact_enabled(const char* name) {
    for (const MlstFact& fact : mlst_facts) {
        if (std::strcmp(fact.name, name) == 0) return fact.enabled != 0;
    }
    return false;
}

void write_mlst_entry(FILE* stream, const MlstEntry& entry) {
    for (const MlstFact& fact : mlst_facts) {
        if (fact.enabled != 0) fact.write(fact.name, stream, entry);
    }
    const char* shown = entry.name;
    char canonical[PATH_MAX];
    if ((entry.flags != mlsd_listing || std::strcmp(entry.name, ".") == 0) &&
        realpath(entry.name, canonical) != nullptr)
        shown = canonical;
    counted_printf(stream, " %s\r\n", shown);
}

// OPTS MLST: select facts; false when the option text is malformed.
bool select_facts(const char* options, int* selection) {
    for (std::size_t i = 0; i < std::size(mlst_facts); ++i) selection[i] = 0;
    if (options == nullptr || options[0] == '\0') return true;
    std::size_t length = std::strlen(options);
    if (std::strchr(options, ' ') != nullptr || options[length - 1] != ';') return false;
    char* copy = strdup_or_die(options);
    copy[length - 1] = '\0';
    bool ok = true;
    for (char* piece = copy;; ) {
        char* end = std::strchr(piece, ';');
        if (end != nullptr) *end = '\0';
        if (piece[0] == '\0') {
            ok = false;
            break;
        }
        for (std::size_t i = 0; i < std::size(mlst_facts); ++i) {
            if (strcasecmp(piece, mlst_facts[i].name) == 0) selection[i] = 1;
        }
        if (end == nullptr) break;
        piece = end + 1;
    }
    std::free(copy);
    return ok;
}

void opts_mlst(const char* options) {
    int selection[std::size(mlst_facts)];
    if (!select_facts(options, selection)) {
        send_reply(501, "Invalid MLST options");
        return;
    }
    counted_printf(control_out, "200 MLST OPTS");
    bool first = true;
    for (std::size_t i = 0; i < std::size(mlst_facts); ++i) {
        mlst_facts[i].enabled = selection[i];
        if (selection[i] == 0) continue;
        counted_printf(control_out, "%s%s;", first ? " " : "", mlst_facts[i].name);
        first = false;
    }
    counted_printf(control_out, "\r\n");
    std::fflush(control_out);
}

}  // namespace

void cmd_feat() {
    send_reply(-211, "Features supported");
    counted_printf(control_out, " MDTM\r\n");
    counted_printf(control_out, " MLST ");
    for (const MlstFact& fact : mlst_facts)
        counted_printf(control_out, "%s%s;", fact.name, fact.enabled != 0 ? "*" : "");
    counted_printf(control_out, "\r\n");
    counted_printf(control_out, " REST STREAM\r\n");
    counted_printf(control_out, " SIZE\r\n");
    counted_printf(control_out, " TVFS\r\n");
    send_reply(211, "End");
}

void cmd_opts(const char* argument) {
    char* name = strdup_or_die(argument);
    char* options = std::strchr(name, ' ');
    if (options != nullptr) *options++ = '\0';
    CommandEntry* row = lookup_command(command_table, name);
    if (row == nullptr) {
        send_reply(502, "Unknown command '%s'.", name);
    } else if (row->flags == command_not_implemented) {
        send_reply(502, "%s command not implemented.", row->name);
    } else if ((row->flags & command_takes_options) == 0) {
        send_reply(501, "%s command does not support persistent options.", row->name);
    } else if (strcasecmp(row->name, "MLST") == 0) {
        opts_mlst(options);
    } else {
        if (options != nullptr && options[0] != '\0') {
            std::free(row->options);
            row->options = strdup_or_die(options);
        }
        if (row->options != nullptr)
            send_reply(200, "Options for %s are '%s'.", row->name, row->options);
        else
            send_reply(200, "No options defined for %s.", row->name);
    }
    std::free(name);
}

void cmd_mlst(const char* path) {
    if (path == nullptr) path = ".";
    MlstEntry entry{.path = path, .name = path, .st = {}, .dir_st = nullptr, .flags = 0};
    if (stat(path, &entry.st) < 0) {
        reply_with_errno(550, path);
        return;
    }
    send_reply(-250, "MLST %s", path);
    counted_printf(control_out, " ");
    write_mlst_entry(control_out, entry);
    send_reply(250, "End");
}

void cmd_mlsd(const char* path) {
    bool type_enabled = fact_enabled("Type");
    if (path == nullptr) path = ".";
    struct stat listed {};
    if (stat(path, &listed) < 0) {
        reply_with_errno(550, path);
        return;
    }
    if (!S_ISDIR(listed.st_mode)) {
        errno = ENOTDIR;
        reply_with_errno(501, path);
        return;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        reply_with_errno(550, path);
        return;
    }
    FILE* data = open_data_connection("MLSD", -1, "w");
    if (data == nullptr) {
        closedir(dir);
        return;
    }
    for (dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
        char access_path[entry_path_size];
        std::snprintf(access_path, sizeof access_path, "%s/%s", path, e->d_name);
        MlstEntry entry{.path = access_path, .name = e->d_name, .st = {}, .dir_st = &listed,
                        .flags = mlsd_listing};
        if (std::strcmp(e->d_name, ".") == 0) {
            if (!type_enabled) continue;
            entry.name = path;
            entry.dir_st = nullptr;
            entry.flags |= listed_directory;
        } else if (std::strcmp(e->d_name, "..") == 0) {
            if (!type_enabled) continue;
            entry.dir_st = nullptr;
        }
        if (stat(access_path, &entry.st) < 0) continue;
        write_mlst_entry(data, entry);
    }
    closedir(dir);
    if (std::fflush(data) != 0 || std::ferror(data)) reply_with_errno(550, "Data connection");
    else send_reply(226, "MLSD complete.");
    close_data_connection(data);
    ++transfer_counters.transfers_sent;
    ++transfer_counters.transfers_total;
}
