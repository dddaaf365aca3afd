// Installing the session's signal handlers.
#pragma once

// SIGCHLD default; SIGHUP/INT/QUIT/TERM end the session; SIGPIPE is a lost
// connection; SIGALRM the idle timeout; SIGURG marks urgent data.
void install_signal_handlers();

// Route SIGALRM to `handler` (the upload loops use on_lost_connection).
void set_alarm_handler(void (*handler)(int));
