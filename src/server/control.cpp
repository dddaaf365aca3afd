// Replies, counted writes and the ways a session ends.
#include "server/control.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "login/login_records.h"
#include "login/login_state.h"
#include "server/log.h"
#include "server/settings.h"
#include "transfer/counters.h"

FILE* control_in = nullptr;
FILE* control_out = nullptr;
char command_line[command_line_size];
char pending_line[command_line_size];
volatile std::sig_atomic_t urgent_pending = 0;
volatile std::sig_atomic_t transfer_in_progress = 0;

void attach_control_channel(FILE* in, FILE* out) {
    control_in = in;
    control_out = out;
}

void count_bytes_sent(long long bytes) {
    transfer_counters.traffic_bytes_sent += bytes;
    transfer_counters.traffic_bytes_total += bytes;
}

void counted_printf(FILE* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int written = std::vfprintf(stream, format, arguments);
    va_end(arguments);
    if (written > 0) count_bytes_sent(written);
}

void send_reply(int code, const char* format, ...) {
    char line[reply_buffer_size];
    int prefix = 0;
    if (code > 0) prefix = std::snprintf(line, sizeof line, "%d ", code);
    else if (code < 0) prefix = std::snprintf(line, sizeof line, "%d-", -code);
    else prefix = std::snprintf(line, sizeof line, "    ");
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line + prefix, sizeof line - static_cast<std::size_t>(prefix), format,
                   arguments);
    va_end(arguments);
    counted_printf(control_out, "%s\r\n", line);
    std::fflush(control_out);
    if (debug_logging) log_message(LOG_DEBUG, "<--- %s", line);
}

void fatal_error(const char* message) {
    send_reply(451, "Error in server: %s", message);
    send_reply(221, "Closing connection due to server error.");
    end_session(0);
}

void end_session(int status) {
    transfer_in_progress = 0;
    if (login_complete && (log_wtmp || log_utmp)) write_logout_record();
    if (transfer_log_fd != -1) close(transfer_log_fd);
    // Every reply has been flushed already; buffered output of other streams
    // (a data stream half-written when a signal came) must not reach anyone.
    _exit(status);
}

char* strdup_or_die(const char* text) {
    char* copy = strdup(text);
    if (copy == nullptr) fatal_error("Local resource failure: malloc");
    return copy;
}

namespace {
// Called through a pointer read at run time, so the compiler cannot prove the
// fill dead and drop it.
void* (*volatile memset_at_run_time)(void*, int, std::size_t) = std::memset;

void on_allocation_failure() { fatal_error("Local resource failure: malloc"); }
}  // namespace

void secure_zero(void* buffer, int value, std::size_t length) {
    memset_at_run_time(buffer, value, length);
}

void install_new_handler() { std::set_new_handler(on_allocation_failure); }
