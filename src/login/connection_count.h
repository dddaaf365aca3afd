// Counting the live sessions of a class through its process-ID file.
#pragma once

extern int class_connections;  // live sessions of the class at login, this one included (login)

// Count the live sessions of curclass's class and record this process in the
// class's pid file; sets class_connections (1 when the file cannot be used).
void count_connections();
// The same with the pid file at `path`.
void count_connections_in(const char* path);

// The pid file of a class: "/var/run/wharfd.pids-<class>".
constexpr const char* pid_file_prefix = "/var/run/wharfd.pids-";
