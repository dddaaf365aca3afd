// Receiving from the client: STOR, APPE and STOU.
#include "transfer/receive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "command/grammar.h"
#include "config/class_settings.h"
#include "server/control.h"
#include "server/oob.h"
#include "server/signals.h"
#include "transfer/counters.h"
#include "transfer/data_channel.h"
#include "transfer/data_connection.h"
#include "transfer/errno_reply.h"
#include "transfer/restart.h"
#include "transfer/transfer_log.h"

namespace {

constexpr std::size_t unique_name_size = 1023;
constexpr int most_unique_suffixes = 99;
constexpr std::size_t fallback_block_size = 1024;
constexpr long long ascii_alarm_interval = 4096;

bool network_failure() { return fail_transfer(426, "Data Connection"); }

bool file_failure() { return fail_transfer(452, "Error writing file"); }

bool aborted_out_of_band() { return urgent_pending != 0 && handle_oob_command() == 1; }

void count_received(long long bytes) {
    TransferCounters& c = transfer_counters;
    transfer_bytes_done += bytes;
    c.data_bytes_received += bytes;
    c.data_bytes_total += bytes;
    c.traffic_bytes_received += bytes;
    c.traffic_bytes_total += bytes;
}

// The step every received block goes through: abort check, size limit, write,
// alarm, counters. False when the copy must stop (its reply has been sent).
bool store_block(int file_fd, const char* block, std::size_t n, bool& aborted) {
    if (aborted_out_of_band()) {
        aborted = true;
        return false;
    }
    if (curclass.maxfilesize != -1 &&
        transfer_bytes_done + static_cast<long long>(n) > curclass.maxfilesize) {
        errno = EFBIG;
        return file_failure();
    }
    std::size_t written = 0;
    while (written < n) {
        ssize_t w = write(file_fd, block + written, n - written);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return file_failure();
        }
        written += static_cast<std::size_t>(w);
    }
    arm_alarm(curclass.timeout);
    count_received(static_cast<long long>(n));
    return true;
}

// Read up to `size` bytes; -1 on error, 0 at the end of data.
ssize_t read_block(int fd, char* block, std::size_t size) {
    for (;;) {
        ssize_t n = read(fd, block, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

void sleep_out_the_second(const timeval& window_start) {
    timeval now {};
    gettimeofday(&now, nullptr);
    timeval spent = elapsed_between(window_start, now);
    if (spent.tv_sec == 0) usleep(static_cast<useconds_t>(1000000 - spent.tv_usec));
}

bool receive_binary(FILE* data, FILE* file) {
    arm_alarm(curclass.timeout);
    int data_fd = fileno(data);
    int file_fd = fileno(file);
    std::size_t block_size = fallback_block_size;
    if (curclass.readsize != 0) {
        block_size = static_cast<std::size_t>(curclass.readsize);
    } else {
        struct stat st {};
        if (fstat(file_fd, &st) == 0 && st.st_blksize > 0)
            block_size = static_cast<std::size_t>(st.st_blksize);
    }
    char* block = static_cast<char*>(std::malloc(block_size));
    if (block == nullptr) {
        errno = ENOMEM;
        return fail_transfer(451, "Local resource failure: malloc");
    }
    bool aborted = false;
    bool ok = true;
    for (bool more = true; more && ok;) {
        timeval window_start {};
        gettimeofday(&window_start, nullptr);
        long long budget = curclass.rateput;
        // Without a rate limit the window never ends; with one it holds `rateput` bytes.
        while (more && ok && (curclass.rateput == 0 || budget > 0)) {
            std::size_t want = block_size;
            if (curclass.rateput != 0) want = std::min(want, static_cast<std::size_t>(budget));
            ssize_t n = read_block(data_fd, block, want);
            if (n == 0) {
                more = false;
                break;
            }
            if (n < 0) {
                ok = network_failure();
                break;
            }
            ok = store_block(file_fd, block, static_cast<std::size_t>(n), aborted);
            budget -= n;
        }
        if (more && ok && curclass.rateput != 0) sleep_out_the_second(window_start);
    }
    std::free(block);
    return ok;
}

// Store one byte of an ASCII upload, within the size limit.
bool put_ascii_byte(int c, FILE* file, long long& written) {
    if (curclass.maxfilesize != -1 && written >= curclass.maxfilesize) {
        errno = EFBIG;
        return file_failure();
    }
    ++written;
    std::putc(c, file);
    return true;
}

void count_ascii_byte() {
    count_received(1);
    if (transfer_bytes_done % ascii_alarm_interval == 0) arm_alarm(curclass.timeout);
}

bool receive_ascii(FILE* data, FILE* file) {
    arm_alarm(curclass.timeout);
    long long written = 0;
    int bare_linefeeds = 0;
    int c = std::getc(data);
    while (c != EOF) {
        if (aborted_out_of_band()) return false;
        count_ascii_byte();
        if (c == '\n') {
            ++bare_linefeeds;
        } else if (c == '\r') {
            // CR LF is LF; CR NUL and a CR at the end are a lone CR; CR CR looks again.
            while (c == '\r') {
                if (std::ferror(file)) return file_failure();
                int next = std::getc(data);
                if (next == '\n') {
                    c = '\n';
                    break;
                }
                if (next != EOF) count_ascii_byte();
                if (!put_ascii_byte('\r', file, written)) return false;
                c = next;
                if (c == EOF || c == '\0') break;
            }
            if (c == EOF) break;
            if (c == '\0') {
                c = std::getc(data);
                continue;
            }
        }
        if (!put_ascii_byte(c, file, written)) return false;
        c = std::getc(data);
    }
    arm_alarm(0);
    std::fflush(file);
    if (std::ferror(data)) return network_failure();
    if (std::ferror(file)) return file_failure();
    if (bare_linefeeds > 0) {
        send_reply(-226, "WARNING! %d bare linefeeds received in ASCII mode", bare_linefeeds);
        send_reply(0, "File may not have transferred correctly.");
    }
    return true;
}

bool receive_data(FILE* data, FILE* file) {
    switch (transfer_type) {
        case TYPE_I:
        case TYPE_L:
            return receive_binary(data, file);
        case TYPE_A:
            return receive_ascii(data, file);
        case TYPE_E:
            send_reply(553, "TYPE E not implemented.");
            return false;
        default:
            send_reply(550, "Unimplemented TYPE %d in receive_data", transfer_type);
            return false;
    }
}

// A file created for STOU under a name nobody else has: the path itself when it is
// free, else "<path>.<n>". Each name is created exclusively, so a file another
// session made a moment ago is never overwritten: the next number is tried. Null
// after the replies of a failure.
FILE* create_unique(const char* path, char* name, const char* word) {
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    constexpr mode_t mode = 0666;  // the session's umask applies
    std::snprintf(name, unique_name_size + 1, "%s", path);
    struct stat st {};
    if (stat(path, &st) < 0) {
        int fd = open(name, flags, mode);
        if (fd >= 0) return fdopen(fd, "w");
        if (errno != EEXIST) {
            reply_with_errno(553, name);
            log_transfer(word, -1, name, nullptr, nullptr, std::strerror(errno));
            return nullptr;
        }
    }
    const char* slash = std::strrchr(path, '/');
    char directory[unique_name_size + 1];
    if (slash == nullptr) {
        std::strcpy(directory, ".");
    } else {
        std::size_t length = std::min(static_cast<std::size_t>(slash - path), unique_name_size);
        std::memcpy(directory, path, length);
        directory[length] = '\0';
    }
    if (stat(directory, &st) < 0) {
        reply_with_errno(553, directory);
        log_transfer(word, -1, nullptr, nullptr, nullptr, "cannot create unique file");
        return nullptr;
    }
    for (int n = 1; n <= most_unique_suffixes; ++n) {
        std::snprintf(name, unique_name_size + 1, "%s.%d", path, n);
        if (stat(name, &st) == 0) continue;
        int fd = open(name, flags, mode);
        if (fd >= 0) return fdopen(fd, "w");
        if (errno == EEXIST) continue;
        reply_with_errno(553, name);
        log_transfer(word, -1, name, nullptr, nullptr, std::strerror(errno));
        return nullptr;
    }
    send_reply(452, "Unique file name cannot be created.");
    log_transfer(word, -1, nullptr, nullptr, nullptr, "cannot create unique file");
    return nullptr;
}

bool apply_restart(FILE* file) {
    if (transfer_type == TYPE_A) {
        if (restart_offset > 0 && !skip_to_ascii_offset(file, restart_offset)) return false;
        // Reading and writing one stream need a positioning call in between.
        return std::fseek(file, 0, SEEK_CUR) == 0;
    }
    return lseek(fileno(file), static_cast<off_t>(restart_offset), SEEK_SET) >= 0;
}

}  // namespace

void cmd_store(const char* path, const char* mode, bool unique) {
    const char* word = mode[0] == 'w' ? "put" : "append";
    char name[unique_name_size + 1];
    std::snprintf(name, sizeof name, "%s", path);
    FILE* file = nullptr;
    if (unique && restart_offset == 0) {
        file = create_unique(path, name, word);
        if (file == nullptr) return;
    } else {
        // A restart needs the file as it is: opened for update, not truncated.
        file = std::fopen(name, restart_offset != 0 ? "r+" : mode);
        if (file == nullptr) {
            reply_with_errno(553, name);
            log_transfer(word, -1, name, nullptr, nullptr, std::strerror(errno));
            return;
        }
    }
    transfer_bytes_done = -1;
    if (restart_offset != 0 && !apply_restart(file)) {
        reply_with_errno(550, name);
        log_transfer(word, -1, name, nullptr, nullptr, std::strerror(errno));
        std::fclose(file);
        return;
    }
    // Urgent marks from before this transfer are forgotten now, before the 150:
    // a client may send its urgent ABOR as soon as it has seen the 150, and that
    // one must not be forgotten.
    urgent_pending = 0;
    FILE* data = open_data_connection(name, -1, "r");
    if (data == nullptr) {
        log_transfer(word, 0, name, nullptr, nullptr, nullptr);
        std::fclose(file);
        return;
    }

    timeval start {};
    gettimeofday(&start, nullptr);
    // An upload that stalls means the client is gone: end without a reply.
    set_alarm_handler(on_lost_connection);
    transfer_in_progress = 1;
    bool received = receive_data(data, file);
    arm_alarm(0);
    set_alarm_handler(on_idle_timeout);
    TransferCounters& c = transfer_counters;
    ++c.data_files_received;
    ++c.data_files_total;
    ++c.transfers_received;
    ++c.transfers_total;
    transfer_in_progress = 0;
    urgent_pending = 0;
    if (received) {
        if (unique) send_reply(226, "Transfer complete (unique file name:%s).", name);
        else send_reply(226, "Transfer complete.");
    }
    timeval end {};
    gettimeofday(&end, nullptr);
    close_data_connection(data);
    timeval elapsed = elapsed_between(start, end);
    // A copy that failed or was aborted is recorded as incomplete, not as done.
    log_transfer(word, transfer_bytes_done, name, nullptr, &elapsed,
                 received ? nullptr : "Transfer incomplete");
    std::fclose(file);
}
