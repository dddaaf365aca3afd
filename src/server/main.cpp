// wharfd: an FTP server. One process serves one session on descriptors 0, 1 and 2;
// with -D it listens itself and forks a session per connection.
#include <bsd/stdlib.h>
#include <bsd/unistd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "login/blocklist.h"
#include "server/control.h"
#include "server/listener.h"
#include "server/log.h"
#include "server/options.h"
#include "server/session_setup.h"
#include "server/settings.h"

namespace {

constexpr long conservative_login_name_max = 9;

void size_login_name() {
    errno = 0;
    long size = sysconf(_SC_LOGIN_NAME_MAX);
    if (size < 0 && errno != 0) {
        log_message(LOG_ERR, "sysconf _SC_LOGIN_NAME_MAX: %m");
        end_session(1);
    }
    if (size <= 0) {
        log_message(LOG_WARNING, "using conservative LOGIN_NAME_MAX value");
        size = conservative_login_name_max;
    }
    login_name = static_cast<char*>(std::calloc(static_cast<std::size_t>(size), 1));
    if (login_name == nullptr) {
        log_message(LOG_ERR, "malloc: %m");
        end_session(1);
    }
    login_name_size = static_cast<std::size_t>(size);
}

}  // namespace

int main(int argc, char** argv, char** envp) {
    char* invocation_name = argv[0];
    setproctitle_init(argc, argv, envp);
    setprogname(argv[0]);
    attach_control_channel(stdin, stdout);
    install_new_handler();
    // Load the time zone before any chroot hides the zone files: listings and
    // messages show local time for confined users too.
    tzset();
    openlog("wharfd", LOG_PID | LOG_NDELAY, LOG_FTP);
    parse_options(argc, argv);
    if (config_dir == nullptr || config_dir[0] == '\0') config_dir = default_config_dir;
    blocklist_init();
    size_login_name();
    if (daemon_mode) run_standalone_listener();
    setup_connection(invocation_name);
    command_loop();
}
