// Message files: the welcome file, nologin, the message of the day, limit files and
// display files, with their % escapes.
#include "config/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/class_settings.h"
#include "config/line_reader.h"
#include "login/connection_count.h"
#include "login/login_state.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

constexpr std::size_t cwd_size = 1024;
constexpr std::size_t ctime_size = 32;  // ctime_r needs at least 26
constexpr int ctime_shown = 24;         // ctime without its newline

// Write bytes on the control connection and count them as traffic, as every
// reply byte is counted.
void put(const char* text, std::size_t length) {
    if (length == 0) return;
    std::size_t written = std::fwrite(text, 1, length, control_out);
    if (written > 0) count_bytes_sent(static_cast<long long>(written));
}

void put(const char* text) {
    if (text != nullptr) put(text, std::strlen(text));
}

void put_number(long long value) {
    char digits[32];
    int length = std::snprintf(digits, sizeof digits, "%lld", value);
    if (length > 0) put(digits, static_cast<std::size_t>(length));
}

// Write the current directory; a failure writes nothing and is logged.
void put_cwd() {
    char cwd[cwd_size];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        log_message(LOG_WARNING, "can't getcwd: %s", std::strerror(errno));
        return;
    }
    put(cwd);
}

void put_time_now() {
    time_t now = time(nullptr);
    char when[ctime_size];
    if (ctime_r(&now, when) == nullptr) return;
    put(when, strnlen(when, ctime_shown));
}

// Write one line of a message file: four blanks, the text with its escapes
// replaced, CR LF. `plural` is the file's plural state (set by %M and %N, read by
// %s and %S); it is kept wide so that a huge limit is never mistaken for 1.
void put_message_line(const char* line, std::size_t length, long long& plural) {
    put("    ", 4);
    for (std::size_t i = 0; i < length; ++i) {
        if (line[i] != '%') {
            // Runs of plain text go out in one piece.
            std::size_t end = i;
            while (end < length && line[end] != '%') ++end;
            put(line + i, end - i);
            i = end - 1;
            continue;
        }
        if (++i == length) break;  // a "%" that ends the line gives nothing
        switch (line[i]) {
            case 'C': put_cwd(); break;
            case 'E':
                if (email_address != nullptr) put(email_address);
                break;
            case 'L': put(server_name); break;
            case 'M':
                if (curclass.limit == -1) {
                    put("unlimited");
                    plural = 0;
                } else {
                    put_number(curclass.limit);
                    plural = curclass.limit;
                }
                break;
            case 'N':
                put_number(class_connections);
                plural = class_connections;
                break;
            case 'R': put(client_name); break;
            case 'S':
                if (plural != 1) put("S", 1);
                break;
            case 'T': put_time_now(); break;
            case 'U': put(user_account != nullptr ? user_account->pw_name : "<unknown>"); break;
            case 'c': put(curclass.classname != nullptr ? curclass.classname : "<unknown>"); break;
            case 's':
                if (plural != 1) put("s", 1);
                break;
            case '%': put("%", 1); break;
            default: break;  // an unknown escape vanishes with its "%"
        }
    }
    put("\r\n", 2);
}

// Open a message file for reading; only a regular file counts. The open does not
// wait, so a named pipe put where a message file is expected cannot hang the session.
FILE* open_message_file(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "r");
    if (file == nullptr) close(fd);
    return file;
}

}  // namespace

int display_message_file(const char* path, int code) {
    if (path == nullptr || path[0] == '\0' || messages_suppressed) return 0;
    FILE* file = open_message_file(path);
    if (file == nullptr) return 0;
    send_reply(-code, "%s", "");
    // Raw lines: a message file has no comments, continuations or escapes of the
    // configuration syntax; every character is text.
    long long plural = 0;
    std::size_t length = 0;
    for (char* line = nullptr;
         (line = read_logical_line(file, &length, nullptr, raw_line_delimiters, 0)) != nullptr;) {
        put_message_line(line, length, plural);
        std::free(line);
    }
    std::fflush(control_out);
    std::fclose(file);
    return 1;
}
