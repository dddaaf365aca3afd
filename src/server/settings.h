// Process settings from the command line and the identity of the control connection.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "platform/socket_address.h"

// Settings taken from the options; written by option parsing in server/options.cpp,
// never changed afterwards except `server_name`, which the set-up fills in.
extern bool debug_logging;            // -d/-v: replies, commands and signals at LOG_DEBUG (server)
extern int logging_level;             // count of -l options (server)
extern bool daemon_mode;              // -D: standalone listener (server)
extern bool stay_foreground;          // -f: standalone listener does not detach (server)
extern int listen_family;             // -4/-6: AF_INET, AF_INET6 or AF_UNSPEC (server)
extern int data_port_option;          // -P: local port of active data connections, 0 = control port - 1 (server)
extern bool use_pid_file;             // -q/-Q: per-class session counting (server)
extern bool log_utmp;                 // -u/-U (server)
extern bool log_wtmp;                 // -w/-W (server)
extern bool transfer_log_to_syslog;   // -X (server)
extern const char* transfer_log_path; // -L, or null (server)
extern bool numeric_hosts;            // -n: numeric host names only (server)
extern int drop_privileges;           // -r; also set by login when root is given up for good (server, login)
extern const char* email_address;     // -e, or null (server)
extern const char* config_dir;        // -c, default "/usr/local/etc" (server)
extern const char* anonymous_root;    // -a, or null (server)
extern const char* version_string;    // -V, or null for none (server)

constexpr std::size_t server_name_max = 256;
extern char server_name[server_name_max + 1];  // -h/-H, else the local address's name (server)

constexpr const char* default_config_dir = "/usr/local/etc";
constexpr const char* default_version_string = "quorvel 20231001";

// Identity of the control connection, filled in by the per-connection set-up.
extern SocketAddress remote_addr;  // the client's end (server)
extern SocketAddress local_addr;   // our end (server)
extern bool ipv4_mapped;           // the client came in as an IPv4-mapped IPv6 address (server)

constexpr std::size_t client_name_max = 256;
extern char client_name[client_name_max + 1];  // printable client name, "?" when unknown (server)

constexpr std::size_t utmp_line_max = 19;
extern char utmp_line[utmp_line_max + 1];  // "ftp<pid>", the login record's line (server)

constexpr std::size_t proctitle_prefix_size = 1024;
extern char proctitle_prefix[proctitle_prefix_size];  // start of every process title (server, login)

extern int transfer_log_fd;        // the -L file, -1 when none (server)
extern bool transfer_log_to_file;  // set once the -L file is open (server)

extern char* login_name;             // the name being logged in (server sizes it, login fills it)
extern std::size_t login_name_size;  // size of `login_name`, the terminating NUL included (server)
