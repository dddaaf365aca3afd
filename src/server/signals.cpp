// The session's signal handlers. Only on_urgent_data returns: it sets a flag that
// the transfer loops poll. The others end the process from the handler itself.
#include "server/signals.h"

#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <csignal>

#include "config/class_settings.h"
#include "login/login_state.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

void install(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

}  // namespace

void on_fatal_signal(int signal_number) {
    if (debug_logging) log_message(LOG_DEBUG, "got signal %d", signal_number);
    end_session(1);
}

void on_lost_connection(int) {
    if (debug_logging) log_message(LOG_DEBUG, "lost connection");
    end_session(1);
}

void on_idle_timeout(int) {
    send_reply(421, "Timeout (%lld seconds): closing control connection.", curclass.timeout);
    if (logging_level > 0) {
        log_message(LOG_INFO, "User %s timed out after %lld seconds",
                    user_account != nullptr ? user_account->pw_name : "unknown", curclass.timeout);
    }
    end_session(1);
}

void on_urgent_data(int) { urgent_pending = 1; }

void arm_alarm(long long seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds > UINT_MAX) seconds = UINT_MAX;
    alarm(static_cast<unsigned>(seconds));
}

void set_alarm_handler(void (*handler)(int)) { install(SIGALRM, handler); }

void install_signal_handlers() {
    install(SIGCHLD, SIG_DFL);
    install(SIGHUP, on_fatal_signal);
    install(SIGINT, on_fatal_signal);
    install(SIGQUIT, on_fatal_signal);
    install(SIGTERM, on_fatal_signal);
    install(SIGPIPE, on_lost_connection);
    install(SIGALRM, on_idle_timeout);
    install(SIGURG, on_urgent_data);
}

void set_data_connection_open(bool open) { install(SIGPIPE, open ? SIG_IGN : on_lost_connection); }
