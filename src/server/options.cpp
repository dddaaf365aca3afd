// Command-line options of the server.
#include "server/options.h"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "login/check_mode.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"

bool debug_logging = false;
int logging_level = 0;
bool daemon_mode = false;
bool stay_foreground = false;
int listen_family = AF_UNSPEC;
int data_port_option = 0;
bool use_pid_file = true;
bool log_utmp = false;
bool log_wtmp = true;
bool transfer_log_to_syslog = false;
const char* transfer_log_path = nullptr;
bool numeric_hosts = false;
int drop_privileges = 0;
const char* email_address = nullptr;
const char* config_dir = default_config_dir;
const char* anonymous_root = nullptr;
const char* version_string = default_version_string;
char server_name[server_name_max + 1] = "";

namespace {

// "+" stops at the first operand; the leading ":" makes getopt report a missing
// argument as ':' and print nothing (standard error is the client's socket).
constexpr const char* option_string = "+:46a:c:C:Dde:fh:HlL:nP:qQrst:T:uUvV:wWX";

constexpr int lowest_data_port = 1024;
constexpr int highest_data_port = 65535;

void set_server_name(const char* name) {
    std::strncpy(server_name, name, server_name_max);
    server_name[server_name_max] = '\0';
}

// A -P value outside 1024..65535 is warned about and the default (control port
// minus one) is used instead, so the server never binds a port nobody asked for.
int parse_data_port(const char* text) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < lowest_data_port || value > highest_data_port) {
        log_message(LOG_WARNING, "Invalid dataport %s", text);
        return 0;
    }
    return static_cast<int>(value);
}

}  // namespace

void parse_options(int argc, char** argv) {
    opterr = 0;
    int option = 0;
    while ((option = getopt(argc, argv, option_string)) != -1) {
        switch (option) {
            case '4': listen_family = AF_INET; break;
            case '6': listen_family = AF_INET6; break;
            case 'a': anonymous_root = optarg; break;
            case 'c': if (optarg[0] != '\0') config_dir = optarg; break;
            case 'C': run_check_mode(optarg);
            case 'D': daemon_mode = true; break;
            case 'd':
            case 'v': debug_logging = true; break;
            case 'e': email_address = optarg; break;
            case 'f': stay_foreground = true; break;
            case 'h': set_server_name(optarg); break;
            case 'H':
                if (gethostname(server_name, sizeof server_name) < 0) server_name[0] = '\0';
                server_name[server_name_max] = '\0';
                break;
            case 'l': ++logging_level; break;
            case 'L': transfer_log_path = optarg; break;
            case 'n': numeric_hosts = true; break;
            case 'P': data_port_option = parse_data_port(optarg); break;
            case 'q': use_pid_file = true; break;
            case 'Q': use_pid_file = false; break;
            case 'r': drop_privileges = 1; break;
            case 's': break;
            case 't':
            case 'T':
                log_message(LOG_WARNING, "-%c has been deprecated in favour of wharfd.conf", option);
                break;
            case 'u': log_utmp = true; break;
            case 'U': log_utmp = false; break;
            case 'w': log_wtmp = true; break;
            case 'W': log_wtmp = false; break;
            case 'V':
                if (optarg[0] == '\0' || std::strcmp(optarg, "-") == 0) version_string = nullptr;
                else version_string = strdup_or_die(optarg);
                break;
            case 'X': transfer_log_to_syslog = true; break;
            case ':':
                if (optopt == 'a' || optopt == 'C') end_session(1);
                log_message(LOG_WARNING, "unknown flag -%c ignored", optopt);
                break;
            default:
                log_message(LOG_WARNING, "unknown flag -%c ignored", optopt);
                break;
        }
    }
}
