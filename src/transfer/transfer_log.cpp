// The transfer log.
#include "transfer/transfer_log.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "command/grammar.h"
#include "config/class_settings.h"
#include "login/login_state.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

constexpr std::size_t log_line_size = 2148;

// The absolute path without symbolic links, or the path as given.
const char* resolved(const char* path, char* buffer) {
    if (path == nullptr) return nullptr;
    return realpath(path, buffer) != nullptr ? buffer : path;
}

char access_mode() {
    switch (curclass.type) {
        case GUEST: return 'a';
        case CHROOT: return 'g';
        case REAL: return 'r';
    }
    return '?';
}

// Appends formatted pieces to a fixed buffer; what does not fit is cut.
class LineBuilder {
public:
    LineBuilder(char* buffer, std::size_t size) : buffer_(buffer), size_(size) { buffer_[0] = '\0'; }
    void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (used_ + 1 >= size_) return;
        va_list arguments;
        va_start(arguments, format);
        int n = std::vsnprintf(buffer_ + used_, size_ - used_, format, arguments);
        va_end(arguments);
        if (n > 0) used_ = std::min(size_ - 1, used_ + static_cast<std::size_t>(n));
    }

private:
    char* buffer_;
    std::size_t size_;
    std::size_t used_ = 0;
};

// Write `record` with one write call, so concurrent sessions never interleave.
void append_record(const char* record, std::size_t length) {
    if (!transfer_log_to_file || transfer_log_fd == -1) return;
    if (write(transfer_log_fd, record, length) < 0) {
        // The log is best effort: a full disk must not stop the transfer.
    }
}

}  // namespace

timeval elapsed_between(const timeval& start, const timeval& end) {
    timeval difference{.tv_sec = end.tv_sec - start.tv_sec, .tv_usec = end.tv_usec - start.tv_usec};
    if (difference.tv_usec < 0) {
        difference.tv_usec += 1000000;
        --difference.tv_sec;
    }
    return difference;
}

void log_transfer(const char* word, long long size, const char* path, const char* second_path,
                  const timeval* elapsed, const char* error) {
    if (logging_level <= 1 && !transfer_log_to_file && !transfer_log_to_syslog) return;
    char path_buffer[PATH_MAX];
    char second_buffer[PATH_MAX];
    const char* real_path = resolved(path, path_buffer);
    const char* real_second = resolved(second_path, second_buffer);
    const char* shown_path = real_path != nullptr ? real_path : "(none)";

    if (logging_level >= 2) {
        char line[log_line_size];
        LineBuilder builder(line, sizeof line);
        builder.add("%s %s", word, shown_path);
        if (size != -1) builder.add(" = %lld byte%s", size, size == 1 ? "" : "s");
        else if (real_second != nullptr) builder.add(" %s", real_second);
        if (elapsed != nullptr)
            builder.add(" in %lld.%.03ld seconds", static_cast<long long>(elapsed->tv_sec),
                        static_cast<long>(elapsed->tv_usec / 1000));
        if (error != nullptr) builder.add(": %s", error);
        log_message(LOG_INFO, "%s", line);
    }

    if (size == -1 || (!transfer_log_to_file && !transfer_log_to_syslog)) return;
    char direction = 0;
    if (std::strcmp(word, "get") == 0) direction = 'o';
    else if (std::strcmp(word, "put") == 0 || std::strcmp(word, "append") == 0) direction = 'i';
    else return;

    long long seconds = 0;
    if (elapsed != nullptr) seconds = elapsed->tv_sec + (elapsed->tv_usec > 0 ? 1 : 0);
    time_t now = time(nullptr);
    char when[32];
    ctime_r(&now, when);
    const char* user = nullptr;
    if (user_account != nullptr)
        user = curclass.type == GUEST ? user_account->pw_passwd : user_account->pw_name;
    if (user == nullptr) user = "";
    char record[log_line_size];
    int length = std::snprintf(record, sizeof record,
                               "%.24s %lld %s %lld %s %c %s %c %c %s FTP 0 * %c\n", when, seconds,
                               client_name, size, shown_path, transfer_type == TYPE_A ? 'a' : 'b',
                               "_", direction, access_mode(), user, error != nullptr ? 'i' : 'c');
    if (length < 0) return;
    std::size_t record_length = std::min(static_cast<std::size_t>(length), sizeof record - 1);
    if (record_length > 0 && record[record_length - 1] != '\n') record[record_length - 1] = '\n';
    append_record(record, record_length);
    if (transfer_log_to_syslog)
        log_message(LOG_INFO, "xferlog: %.*s", static_cast<int>(record_length - 1), record);
}
