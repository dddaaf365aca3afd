// Installing the session's signal handlers.
#pragma once

// SIGCHLD default; SIGHUP/INT/QUIT/TERM end the session; SIGPIPE is a lost
// connection; SIGALRM the idle timeout; SIGURG marks urgent data.
void install_signal_handlers();

// Route SIGALRM to `handler` (the upload loops use on_lost_connection).
void set_alarm_handler(void (*handler)(int));

// While a data connection is open a broken pipe is the data connection's: writes
// fail with EPIPE and the transfer answers 426, instead of SIGPIPE ending the
// session as a lost control connection. `open` true ignores SIGPIPE, false
// restores the lost-connection handler.
void set_data_connection_open(bool open);
