// Reading command lines from the control connection, and the command loop.
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <strings.h>

#include "command/grammar.h"
#include "config/class_settings.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"
#include "transfer/counters.h"

namespace {

constexpr int telnet_iac = 255;
constexpr int telnet_will = 251;
constexpr int telnet_wont = 252;
constexpr int telnet_do = 253;
constexpr int telnet_dont = 254;

int read_counted_byte(FILE* stream) {
    int c = std::getc(stream);
    if (c != EOF) {
        ++transfer_counters.traffic_bytes_received;
        ++transfer_counters.traffic_bytes_total;
    }
    return c;
}

// Refuse a Telnet option: IAC WILL/WONT gets DONT, IAC DO/DONT gets WONT.
void refuse_option(int answer, int option) {
    counted_printf(control_out, "%c%c%c", telnet_iac, answer, option);
    std::fflush(control_out);
}

void log_command_line(const char* line) {
    if (!debug_logging) return;
    bool hidden = (strncasecmp(line, "PASS ", 5) == 0 && curclass.type != GUEST) ||
                  strncasecmp(line, "ACCT ", 5) == 0;
    if (hidden) {
        log_message(LOG_DEBUG, "command: %.4s ???", line);
        return;
    }
    std::size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n')) --length;
    log_message(LOG_DEBUG, "command: %.*s", static_cast<int>(length), line);
}

// Drop the rest of an over-long line, up to and including its line feed.
void drop_rest_of_line(FILE* stream) {
    for (int c = read_counted_byte(stream); c != EOF && c != '\n'; c = read_counted_byte(stream)) {
    }
}

}  // namespace

int read_command_line(char* buffer, int size, FILE* stream) {
    int stored = 0;
    const int room = size - 1;
    if (pending_line[0] != '\0') {
        while (stored < room && pending_line[stored] != '\0') {
            buffer[stored] = pending_line[stored];
            ++stored;
            if (buffer[stored - 1] == '\n') break;
        }
        pending_line[0] = '\0';
        if (stored > 0 && buffer[stored - 1] == '\n') {
            buffer[stored] = '\0';
            if (debug_logging) log_message(LOG_DEBUG, "command: %s", buffer);
            return 0;
        }
    }
    for (;;) {
        int c = read_counted_byte(stream);
        if (c == EOF) {
            if (stored == 0) return -1;
            break;
        }
        if (c == telnet_iac) {
            int command = read_counted_byte(stream);
            if (command == EOF) {
                c = telnet_iac;  // a lone IAC before the end is kept as a byte
            } else if (command == telnet_will || command == telnet_wont ||
                       command == telnet_do || command == telnet_dont) {
                int option = read_counted_byte(stream);
                if (option == EOF) continue;
                bool offered = command == telnet_will || command == telnet_wont;
                refuse_option(offered ? telnet_dont : telnet_wont, option);
                continue;
            } else if (command != telnet_iac) {
                continue;  // other Telnet commands carry nothing for us
            }
        }
        if (stored >= room) {
            if (debug_logging) log_message(LOG_DEBUG, "command too long, last char: %d", c);
            if (c != '\n') drop_rest_of_line(stream);
            return -2;
        }
        buffer[stored++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[stored] = '\0';
    log_command_line(buffer);
    return 0;
}

void command_loop() {
    for (;;) {
        arm_alarm(curclass.timeout);
        int result = read_command_line(command_line, command_read_size, control_in);
        arm_alarm(0);
        if (result == -2) {
            send_reply(500, "Command too long.");
            continue;
        }
        if (result == -1) {
            send_reply(221, "You could at least say goodbye.");
            end_session(0);
        }
        parse_command();
    }
}
