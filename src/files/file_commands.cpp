// CWD, PWD, MKD, RMD, DELE, RNFR, RNTO, SIZE and STAT of a path.
#include "files/file_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "command/grammar.h"
#include "config/messages.h"
#include "files/logical_cwd.h"
#include "pipe/command_pipe.h"
#include "server/control.h"
#include "transfer/counters.h"
#include "transfer/errno_reply.h"
#include "transfer/transfer_log.h"

namespace {

constexpr std::size_t quoted_size = 2048;
constexpr long long largest_ascii_size = 10240;

// Double every '"' for a 257 reply; cut where the next character no longer fits.
void quote_path(const char* path, char* quoted) {
    std::size_t used = 0;
    for (const char* p = path; *p != '\0'; ++p) {
        std::size_t needed = *p == '"' ? 2 : 1;
        if (used + needed > quoted_size - 1) break;
        quoted[used++] = *p;
        if (*p == '"') quoted[used++] = '"';
    }
    quoted[used] = '\0';
}

// The outcome of a file operation: 250 on success, else the error; then the log.
void finish_operation(bool ok, const char* command, const char* word, const char* path,
                      const char* reply_text, const char* second_path) {
    const char* error = ok ? nullptr : std::strerror(errno);
    if (ok) send_reply(250, "%s command successful.", command);
    else reply_with_errno(550, reply_text);
    log_transfer(word, -1, path, second_path, nullptr, error);
}

void size_in_ascii(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        reply_with_errno(550, path);
        return;
    }
    struct stat st {};
    if (fstat(fileno(file), &st) < 0 || !S_ISREG(st.st_mode)) {
        send_reply(550, "%s: not a plain file.", path);
    } else if (st.st_size > largest_ascii_size) {
        send_reply(550, "%s: file too large for SIZE.", path);
    } else {
        long long count = 0;
        for (int c = std::getc(file); c != EOF; c = std::getc(file)) count += c == '\n' ? 2 : 1;
        send_reply(213, "%lld", count);
    }
    std::fclose(file);
}

void write_counted_byte(int c) {
    std::putc(c, control_out);
    count_bytes_sent(1);
}

}  // namespace

void cmd_cwd(const char* path) {
    if (chdir(path) < 0) {
        reply_with_errno(550, path);
        return;
    }
    show_cwd_messages(250);
    send_reply(250, "%s command successful.", "CWD");
    refresh_logical_cwd(path);
}

void cmd_pwd() {
    char current[logical_cwd_size];
    const char* directory = getcwd(current, sizeof current - 1);
    if (directory == nullptr) {
        if (chdir(logical_cwd) < 0) {
            send_reply(550, "Can't get the current directory: %s.", std::strerror(errno));
            return;
        }
        directory = logical_cwd;
    }
    char quoted[quoted_size];
    quote_path(directory, quoted);
    send_reply(257, "\"%s\" %s", quoted, "is the current directory.");
}

void cmd_mkd(const char* path) {
    const char* error = nullptr;
    if (mkdir(path, 0777) < 0) {
        error = std::strerror(errno);
        reply_with_errno(550, path);
    } else {
        char quoted[quoted_size];
        quote_path(path, quoted);
        send_reply(257, "\"%s\" %s", quoted, "directory created.");
    }
    log_transfer("mkdir", -1, path, nullptr, nullptr, error);
}

void cmd_rmd(const char* path) { finish_operation(rmdir(path) == 0, "RMD", "rmdir", path, path, nullptr); }

void cmd_dele(const char* path) {
    finish_operation(std::remove(path) == 0, "DELE", "delete", path, path, nullptr);
}

char* cmd_rnfr(const char* path) {
    struct stat st {};
    if (stat(path, &st) < 0) {
        reply_with_errno(550, path);
        return nullptr;
    }
    send_reply(350, "File exists, ready for destination name");
    return strdup_or_die(path);
}

void cmd_rnto(const char* from, const char* to) {
    finish_operation(std::rename(from, to) == 0, "RNTO", "rename", from, "rename", to);
}

void cmd_size(const char* path) {
    switch (transfer_type) {
        case TYPE_I:
        case TYPE_L: {
            struct stat st {};
            if (stat(path, &st) < 0 || !S_ISREG(st.st_mode)) {
                send_reply(550, "%s: not a plain file.", path);
                return;
            }
            send_reply(213, "%llu", static_cast<unsigned long long>(st.st_size));
            return;
        }
        case TYPE_A:
            size_in_ascii(path);
            return;
        default:
            send_reply(504, "SIZE not implemented for Type %c.",
                       transfer_type >= 0 && transfer_type <= TYPE_L ? "?AEIL"[transfer_type] : '?');
            return;
    }
}

void cmd_stat_file(const char* path) {
    const char* argv[] = {"/bin/ls", "-lgA", path, nullptr};
    // The lister's warnings belong in the reply: its standard error is the pipe too.
    FILE* listing = open_command_pipe(argv, "r", command_error_to_output);
    if (listing == nullptr) {
        reply_with_errno(550, path);
        return;
    }
    send_reply(-211, "status of %s:", path);
    bool line_start = true;
    for (int c = std::getc(listing); c != EOF; c = std::getc(listing)) {
        if (c == '\n') {
            if (std::ferror(control_out)) {
                reply_with_errno(421, "control connection");
                close_command_pipe(listing);
                end_session(1);
            }
            if (std::ferror(listing)) {
                reply_with_errno(551, path);
                close_command_pipe(listing);
                return;
            }
            write_counted_byte('\r');
        }
        if (line_start && c >= '0' && c <= '9') write_counted_byte(' ');
        write_counted_byte(c);
        line_start = c == '\n';
    }
    close_command_pipe(listing);
    send_reply(211, "End of Status");
}
