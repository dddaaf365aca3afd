// Sending to the client: RETR of files and conversions, and command output (LIST).
#include "transfer/send.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "command/grammar.h"
#include "config/class_settings.h"
#include "config/conversions.h"
#include "pipe/command_pipe.h"
#include "server/control.h"
#include "server/log.h"
#include "server/oob.h"
#include "server/settings.h"
#include "transfer/counters.h"
#include "transfer/data_channel.h"
#include "transfer/data_connection.h"
#include "transfer/errno_reply.h"
#include "transfer/restart.h"
#include "transfer/transfer_log.h"

namespace {

constexpr std::size_t command_block_size = 1024;
constexpr long long ascii_alarm_interval = 4096;
constexpr std::size_t error_piece_size = 2048;
constexpr const char* builtin_lister = "/bin/ls";
constexpr char error_file_template_text[] = "/tmp/wharfdXXXXXXX";

void count_sent(long long bytes, bool count_as_data) {
    TransferCounters& c = transfer_counters;
    c.traffic_bytes_sent += bytes;
    c.traffic_bytes_total += bytes;
    if (count_as_data) {
        c.data_bytes_sent += bytes;
        c.data_bytes_total += bytes;
    }
}

bool aborted_out_of_band() { return urgent_pending != 0 && handle_oob_command() == 1; }

bool send_ascii(FILE* source, FILE* data, bool count_as_data) {
    arm_alarm(curclass.timeout);
    for (int c = std::getc(source); c != EOF; c = std::getc(source)) {
        if (aborted_out_of_band()) return false;
        ++transfer_bytes_done;
        if (c == '\n') {
            if (std::ferror(data)) return fail_transfer(426, "Data connection");
            std::putc('\r', data);
            count_sent(1, count_as_data);
        }
        std::putc(c, data);
        count_sent(1, count_as_data);
        // Re-armed every 4096 bytes, so a slow client is not cut off mid-file.
        if (transfer_bytes_done % ascii_alarm_interval == 0) arm_alarm(curclass.timeout);
    }
    arm_alarm(0);
    std::fflush(data);
    if (std::ferror(source)) return fail_transfer(551, "Error on input file");
    if (std::ferror(data)) return fail_transfer(426, "Data connection");
    return true;
}

void set_send_buffer_options(int fd) {
    if (curclass.sendbufsize != 0) {
        int size = static_cast<int>(curclass.sendbufsize);
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) < 0)
            log_message(LOG_WARNING, "setsockopt(SO_SNDBUF, %d): %m", size);
    }
    if (curclass.sendlowat != 0) {
        int size = static_cast<int>(curclass.sendlowat);
        if (setsockopt(fd, SOL_SOCKET, SO_SNDLOWAT, &size, sizeof size) < 0)
            log_message(LOG_WARNING, "setsockopt(SO_SNDLOWAT, %d): %m", size);
    }
    if (debug_logging)
        log_message(LOG_INFO, "mmapsize = %lld, writesize = %lld", curclass.mmapsize,
                    curclass.writesize);
}

RateWindow start_rate_window() {
    RateWindow window;
    window.budget = curclass.rateget;
    gettimeofday(&window.start, nullptr);
    return window;
}

enum class MappedResult { done, failed, not_mappable };

// Whole pages of at most `mmapsize` bytes, at least one page: every window then
// starts at a page boundary, as mmap needs, whatever size the class configured.
std::size_t mapping_window() {
    auto page = static_cast<long long>(sysconf(_SC_PAGESIZE));
    long long pages = std::max(1LL, curclass.mmapsize / page);
    return static_cast<std::size_t>(pages * page);
}

MappedResult send_mapped(int source_fd, long long end, int data_fd, bool count_as_data) {
    off_t position = lseek(source_fd, 0, SEEK_CUR);
    if (position < 0) return MappedResult::not_mappable;
    RateWindow window = start_rate_window();
    const std::size_t window_size = mapping_window();
    const long long page = sysconf(_SC_PAGESIZE);
    long long offset = position;
    bool first = true;
    while (offset < end) {
        // A restart point inside a page maps from the page's start and skips ahead.
        long long map_start = offset - offset % page;
        auto skip = static_cast<std::size_t>(offset - map_start);
        std::size_t length = static_cast<std::size_t>(
            std::min(end - offset, static_cast<long long>(window_size - skip)));
        std::size_t mapped_length = skip + length;
        void* mapped = mmap(nullptr, mapped_length, PROT_READ, MAP_SHARED, source_fd,
                            static_cast<off_t>(map_start));
        if (mapped == MAP_FAILED) {
            if (first) return MappedResult::not_mappable;
            fail_transfer(551, "Error on input file");
            return MappedResult::failed;
        }
        first = false;
        madvise(mapped, mapped_length, MADV_SEQUENTIAL);
        int write_failed = write_throttled(data_fd, static_cast<const char*>(mapped) + skip, length,
                                           window, count_as_data);
        int write_error = errno;
        madvise(mapped, mapped_length, MADV_DONTNEED);
        munmap(mapped, mapped_length);
        if (aborted_out_of_band()) return MappedResult::failed;
        if (write_failed != 0) {
            // Only the kernel reads the mapping; if the file shrank under us it
            // reports a bad address instead of a signal: that is the input's fault.
            errno = write_error;
            fail_transfer(write_error == EFAULT ? 551 : 426,
                          write_error == EFAULT ? "Error on input file" : "Data connection");
            return MappedResult::failed;
        }
        offset += static_cast<long long>(length);
    }
    return MappedResult::done;
}

bool send_blocks(int source_fd, std::size_t block_size, int data_fd, bool count_as_data) {
    char* block = static_cast<char*>(std::malloc(block_size));
    if (block == nullptr) {
        errno = ENOMEM;
        return fail_transfer(451, "Local resource failure: malloc");
    }
    RateWindow window = start_rate_window();
    bool ok = true;
    for (;;) {
        arm_alarm(curclass.timeout);
        ssize_t n = read(source_fd, block, block_size);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = fail_transfer(551, "Error on input file");
            break;
        }
        if (write_throttled(data_fd, block, static_cast<std::size_t>(n), window, count_as_data) != 0) {
            ok = fail_transfer(426, "Data connection");
            break;
        }
        if (aborted_out_of_band()) {
            ok = false;
            break;
        }
    }
    std::free(block);
    return ok;
}

// The copy loop of cmd_retr. `file_size` is the size of a regular file (for the
// mapped windows), -1 for command output; `block_size` the read block.
bool send_data(FILE* source, FILE* data, bool count_as_data, long long file_size,
               std::size_t block_size) {
    switch (transfer_type) {
        case TYPE_A:
            return send_ascii(source, data, count_as_data);
        case TYPE_I:
        case TYPE_L: {
            int data_fd = fileno(data);
            set_send_buffer_options(data_fd);
            int source_fd = fileno(source);
            if (curclass.mmapsize > 0 && file_size >= 0) {
                switch (send_mapped(source_fd, file_size, data_fd, count_as_data)) {
                    case MappedResult::done: return true;
                    case MappedResult::failed: return false;
                    case MappedResult::not_mappable: break;
                }
            }
            return send_blocks(source_fd, block_size, data_fd, count_as_data);
        }
        default:
            send_reply(550, "Unimplemented TYPE %d in send_data", transfer_type);
            return false;
    }
}

// Temporary file for an external command's error output: unlinked at once, so it
// never has a name anybody else could open.
int make_error_file() {
    char name[sizeof error_file_template_text];
    std::memcpy(name, error_file_template_text, sizeof name);
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0) unlink(name);
    return fd;
}

void relay_error_file(int fd) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) < 0 || st.st_size <= 0) return;
    send_reply(-226, "Command error messages:");
    if (lseek(fd, 0, SEEK_SET) < 0) return;
    int copy = dup(fd);
    FILE* errors = copy >= 0 ? fdopen(copy, "r") : nullptr;
    if (errors == nullptr) {
        if (copy >= 0) close(copy);
        return;
    }
    char piece[error_piece_size];
    while (std::fgets(piece, sizeof piece, errors) != nullptr) {
        if (char* lf = std::strchr(piece, '\n'); lf != nullptr) *lf = '\0';
        send_reply(0, "  %s", piece);
    }
    std::fclose(errors);
    std::fflush(control_out);
}

long long milliseconds(const timeval& t) { return static_cast<long long>(t.tv_usec / 1000); }

void log_resource_use(const rusage& before, const rusage& after) {
    timeval user = elapsed_between(before.ru_utime, after.ru_utime);
    timeval system = elapsed_between(before.ru_stime, after.ru_stime);
    log_message(LOG_INFO, "%lld.%.03ldu %lld.%.03lds %ld+%ldio %ldpf+%ldw",
                static_cast<long long>(user.tv_sec), static_cast<long>(milliseconds(user)),
                static_cast<long long>(system.tv_sec), static_cast<long>(milliseconds(system)),
                after.ru_inblock - before.ru_inblock, after.ru_oublock - before.ru_oublock,
                after.ru_majflt - before.ru_majflt, after.ru_nswap - before.ru_nswap);
}

// What cmd_retr sends and how it closes it.
struct Source {
    FILE* stream = nullptr;
    const char* const* command = nullptr;  // the command vector, null for a plain file
    char** conversion = nullptr;           // a conversion's vector (owned)
    bool callers_command = false;          // LIST and the like: not logged, not data
    const char* shown_name = nullptr;      // name in the replies
    long long size = -1;                   // size for the opening reply
    std::size_t block_size = command_block_size;
    int error_fd = -1;                     // the command's standard error
    bool reports_status = false;           // an external program: exit status shown

    ~Source() {
        if (error_fd >= 0) close(error_fd);
        free_conversion_argv(conversion);
    }
    int close_stream() {
        FILE* s = stream;
        stream = nullptr;
        if (s == nullptr) return 0;
        if (command != nullptr) return close_command_pipe(s);
        std::fclose(s);
        return 0;
    }
};

void log_failed_open(const Source& source, const char* path, const char* error) {
    if (!source.callers_command) log_transfer("get", -1, path, nullptr, nullptr, error);
}

bool start_command(Source& source) {
    source.shown_name = source.command[0];
    source.reports_status = std::strcmp(source.command[0], builtin_lister) != 0;
    if (source.reports_status) source.error_fd = make_error_file();
    source.stream = open_command_pipe(source.command, "r", source.error_fd);
    if (source.stream == nullptr) return false;
    transfer_bytes_done = -1;
    return true;
}

// Open what is to be sent. False after the replies of a failure have been sent.
bool open_source(Source& source, const char* path) {
    if (source.command == nullptr) {
        source.shown_name = path;
        FILE* file = std::fopen(path, "r");
        if (file != nullptr) {
            source.stream = file;
            transfer_bytes_done = -1;
            struct stat st {};
            if (fstat(fileno(file), &st) < 0 || !S_ISREG(st.st_mode)) {
                send_reply(550, "%s: %s.", path, "Not a plain file");
                log_transfer("get", -1, path, nullptr, nullptr, "Not a plain file");
                source.close_stream();
                return false;
            }
            source.size = st.st_size;
            if (st.st_blksize > 0) source.block_size = static_cast<std::size_t>(st.st_blksize);
            return true;
        }
        int open_error = errno;
        source.conversion = find_conversion(path);
        if (source.conversion == nullptr) {
            errno = open_error;
        } else {
            source.command = source.conversion;
            log_message(LOG_DEBUG, "get command: '%s' on '%s'", source.command[0], path);
            if (start_command(source)) return true;
        }
    } else if (start_command(source)) {
        return true;
    }
    if (errno != 0) {
        reply_with_errno(550, source.shown_name);
        log_failed_open(source, path, std::strerror(errno));
    }
    return false;
}

bool apply_restart(Source& source, const char* path) {
    if (restart_offset == 0) return true;
    bool ok = transfer_type == TYPE_A
                  ? (restart_offset < 0 || skip_to_ascii_offset(source.stream, restart_offset))
                  : fseeko(source.stream, static_cast<off_t>(restart_offset), SEEK_SET) == 0;
    if (ok) return true;
    reply_with_errno(550, source.shown_name);
    log_failed_open(source, path, std::strerror(errno));
    source.close_stream();
    return false;
}

void count_transfer(bool count_as_data) {
    TransferCounters& c = transfer_counters;
    ++c.transfers_sent;
    ++c.transfers_total;
    if (count_as_data) {
        ++c.data_files_sent;
        ++c.data_files_total;
    }
}

}  // namespace

int write_throttled(int fd, const char* buffer, std::size_t length, RateWindow& window,
                    bool count_as_data) {
    std::size_t done = 0;
    while (done < length) {
        std::size_t piece = length - done;
        if (curclass.writesize > 0) piece = std::min(piece, static_cast<std::size_t>(curclass.writesize));
        if (curclass.rateget != 0 && window.budget > 0)
            piece = std::min(piece, static_cast<std::size_t>(window.budget));
        arm_alarm(curclass.timeout);
        ssize_t n = write(fd, buffer + done, piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        done += static_cast<std::size_t>(n);
        transfer_bytes_done += n;
        count_sent(n, count_as_data);
        if (curclass.rateget == 0) continue;
        window.budget -= n;
        if (window.budget > 0) continue;
        // The budget of this second is spent: sleep out the rest of the second.
        timeval now {};
        gettimeofday(&now, nullptr);
        timeval spent = elapsed_between(window.start, now);
        if (spent.tv_sec == 0) {
            usleep(static_cast<useconds_t>(1000000 - spent.tv_usec));
            gettimeofday(&window.start, nullptr);
        } else {
            window.start = now;
        }
        window.budget = curclass.rateget;
    }
    return 0;
}

void cmd_retr(const char* const* argv, const char* name) {
    Source source;
    source.command = argv;
    source.callers_command = argv != nullptr;
    const char* path = name;
    if (!open_source(source, path)) return;
    if (!apply_restart(source, path)) return;
    bool count_as_data = !source.callers_command;

    // Urgent marks from before this transfer are forgotten now, before the 150:
    // a client may send its urgent ABOR as soon as it has seen the 150, and that
    // one must not be forgotten.
    urgent_pending = 0;
    FILE* data = open_data_connection(source.shown_name, source.size, "w");
    if (data == nullptr) {
        if (!source.callers_command) log_transfer("get", 0, path, nullptr, nullptr, nullptr);
        source.close_stream();
        return;
    }

    timeval start {};
    timeval end {};
    rusage usage_before {};
    rusage usage_after {};
    gettimeofday(&start, nullptr);
    getrusage(RUSAGE_SELF, &usage_before);
    transfer_in_progress = 1;
    bool sent = send_data(source.stream, data, count_as_data,
                          source.command == nullptr ? source.size : -1,
                          curclass.readsize > 0 ? static_cast<std::size_t>(curclass.readsize)
                                                : source.block_size);
    arm_alarm(0);
    transfer_in_progress = 0;
    urgent_pending = 0;
    count_transfer(count_as_data);
    gettimeofday(&end, nullptr);
    getrusage(RUSAGE_SELF, &usage_after);
    close_data_connection(data);
    timeval elapsed = elapsed_between(start, end);

    if (!source.callers_command) {
        // A copy that failed or was aborted is recorded as incomplete, not as done.
        log_transfer("get", transfer_bytes_done, path, nullptr, &elapsed,
                     sent ? nullptr : "Transfer incomplete");
        if (logging_level >= 2) log_resource_use(usage_before, usage_after);
    }
    bool is_command = source.command != nullptr;
    int status = source.close_stream();
    if (!sent) return;
    if (is_command && source.reports_status) {
        if (status != 0) {
            send_reply(-226, "Command returned an exit status of %d", status);
            if (source.conversion != nullptr)
                log_message(LOG_WARNING, "retrieve command: '%s' returned %d", source.shown_name,
                            status);
        }
        relay_error_file(source.error_fd);
    }
    send_reply(226, "Transfer complete.");
}
