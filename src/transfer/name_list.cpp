// NLST: names one per line over a data connection, without the lister.
#include "transfer/name_list.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "command/grammar.h"
#include "config/class_settings.h"
#include "platform/bounded_glob.h"
#include "server/control.h"
#include "server/oob.h"
#include "transfer/counters.h"
#include "transfer/data_channel.h"
#include "transfer/data_connection.h"
#include "transfer/errno_reply.h"
#include "transfer/send.h"

namespace {

constexpr std::size_t entry_path_size = 1024;

struct NameList {
    FILE* data = nullptr;    // opened when the first name is sent
    bool failed = false;     // the data connection could not be opened
    bool aborted = false;    // ABOR came out of band
    const char* line_end = "";

    // Send one name, opening the data connection first if needed.
    bool send(const char* name) {
        if (data == nullptr) {
            data = open_data_connection("file list", -1, "w");
            if (data == nullptr) {
                failed = true;
                return false;
            }
            transfer_in_progress = 1;
        }
        // Bounded like every transfer: a client that never reads cannot hold the
        // session for ever.
        arm_alarm(curclass.timeout);
        counted_printf(data, "%s%s\n", name, line_end);
        return true;
    }
};

bool is_pattern(const char* argument) { return std::strpbrk(argument, "~{[*?") != nullptr; }

bool is_regular_file(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// The entries of `directory`: all of them, or only regular files for a pattern.
bool list_directory(NameList& list, const char* directory, bool pattern) {
    DIR* dir = opendir(directory);
    if (dir == nullptr) return true;
    bool going = true;
    for (dirent* entry = readdir(dir); going && entry != nullptr; entry = readdir(dir)) {
        if (urgent_pending != 0 && handle_oob_command() == 1) {
            list.aborted = true;
            going = false;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        std::size_t length = std::strlen(directory);
        const char* separator = length > 0 && directory[length - 1] == '/' ? "" : "/";
        char path[entry_path_size];
        std::snprintf(path, sizeof path, "%s%s%s", directory, separator, entry->d_name);
        if (pattern && !is_regular_file(path)) continue;
        const char* shown = std::strncmp(path, "./", 2) == 0 ? path + 2 : path;
        going = list.send(shown);
    }
    closedir(dir);
    return going;
}

}  // namespace

void cmd_nlst(const char* argument) {
    urgent_pending = 0;
    NameList list;
    list.line_end = transfer_type == TYPE_A ? "\r" : "";
    bool pattern = is_pattern(argument);
    glob_t matches {};
    char* names_alone[2] = {nullptr, nullptr};
    char** names = names_alone;
    bool finished = false;
    if (pattern) {
        int status = bounded_glob(argument, GLOB_BRACE | GLOB_NOCHECK | GLOB_TILDE, &matches);
        if (status != 0) {
            send_reply(450, "Not found");
            finished = true;
        } else if (matches.gl_pathc == 0) {
            errno = ENOENT;
            reply_with_errno(450, argument);
            finished = true;
        }
        names = matches.gl_pathv;
    } else {
        names_alone[0] = strdup_or_die(argument);
    }

    for (std::size_t i = 0; !finished && names != nullptr && names[i] != nullptr; ++i) {
        const char* name = names[i];
        struct stat st {};
        if (stat(name, &st) < 0) {
            if (name[0] == '-' && names[i + 1] == nullptr && transfer_in_progress == 0) {
                // Not a file: lister options, so the request is a listing.
                const char* argv[] = {"/bin/ls", name, nullptr};
                cmd_retr(argv, name);
            } else {
                reply_with_errno(450, argument);
            }
            finished = true;
            break;
        }
        if (S_ISREG(st.st_mode)) {
            if (!list.send(name)) finished = true;
        } else if (S_ISDIR(st.st_mode)) {
            if (!list_directory(list, name, pattern)) finished = true;
        }
    }

    if (!finished) {
        bool flushed = list.data == nullptr || std::fflush(list.data) == 0;
        arm_alarm(0);
        if (list.data == nullptr) send_reply(450, "No files found.");
        else if (!flushed || std::ferror(list.data)) reply_with_errno(451, "Data connection");
        else send_reply(226, "Transfer complete.");
    }
    arm_alarm(0);
    if (list.data != nullptr) close_data_connection(list.data);
    transfer_in_progress = 0;
    urgent_pending = 0;
    ++transfer_counters.transfers_sent;
    ++transfer_counters.transfers_total;
    std::free(names_alone[0]);
    if (pattern) globfree(&matches);
}
