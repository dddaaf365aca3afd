// The control connection: replies, counted writes, command lines, the command loop
// and the ways a session ends.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdio>

// The two stdio streams of the control connection (descriptors 0 and 1 in a
// session; tests may attach any pair of streams on one socket).
extern FILE* control_in;
extern FILE* control_out;

// Attach the control streams; main calls it with stdin and stdout.
void attach_control_channel(FILE* in, FILE* out);

constexpr std::size_t command_line_size = 512;
// The largest line the command loop accepts, its line feed included, is one less
// than the size it passes to read_command_line.
constexpr int command_read_size = 511;
constexpr std::size_t reply_buffer_size = 2148;

extern char command_line[command_line_size];  // the line being parsed (server)
extern char pending_line[command_line_size];  // a line read out of band, taken next (server)
extern volatile std::sig_atomic_t urgent_pending;       // SIGURG seen, not yet handled (server)
extern volatile std::sig_atomic_t transfer_in_progress;  // a transfer loop is running (transfer)

// Write one reply line: code > 0 "NNN text", code < 0 "NNN-text" (first line of a
// multi-line reply), code 0 "    text". Cut to 2147 characters, CR LF added,
// flushed at once, counted as traffic.
void send_reply(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Formatted write to a stream; the bytes written are added to the traffic counters.
void counted_printf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Count bytes that another Part writes to the client by other means.
void count_bytes_sent(long long bytes);

// Read one command line into `buffer` (NUL-terminated, its line feed kept).
// Returns 0 for a line, -1 at end of input before any byte, -2 when the line was
// too long (its rest has been read and dropped). Telnet option requests are
// refused on the spot.
int read_command_line(char* buffer, int size, FILE* stream);

// Read, parse and execute commands for ever.
[[noreturn]] void command_loop();

// Signal handlers installed by the per-connection set-up.
void on_fatal_signal(int signal_number);
void on_lost_connection(int signal_number);
void on_idle_timeout(int signal_number);
void on_urgent_data(int signal_number);

// Arm the idle/data alarm with the class's timeout (0 disarms).
void arm_alarm(long long seconds);

// Reply 451 with `message`, then 221, and end the session with status 0.
[[noreturn]] void fatal_error(const char* message);

// Write the logout record if needed, close the transfer log and exit at once.
[[noreturn]] void end_session(int status);

// A copy of `text` that the caller owns; ends the session when memory runs out.
char* strdup_or_die(const char* text);

// Fill `length` bytes with `value`; the compiler cannot remove the fill.
void secure_zero(void* buffer, int value, std::size_t length);

// Route C++ allocation failures to fatal_error.
void install_new_handler();
