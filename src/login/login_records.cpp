// Login and logout records: utmp with -u, wtmp with -w (the default).
#include "login/login_records.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>
#include <utmpx.h>

#include <cstdio>
#include <cstring>

#include "login/login_state.h"
#include "server/settings.h"

namespace {

// One record, reused for the login and the logout entry.
utmpx record;

// Copy `text` into a fixed-width field: cut to the field, no NUL when it fills it.
template <std::size_t N>
void copy_field(char (&field)[N], const char* text) {
    std::strncpy(field, text, N);
}

void start_record(short type) {
    std::memset(&record, 0, sizeof record);
    timeval now {};
    gettimeofday(&now, nullptr);
    record.ut_tv.tv_sec = static_cast<decltype(record.ut_tv.tv_sec)>(now.tv_sec);
    record.ut_tv.tv_usec = static_cast<decltype(record.ut_tv.tv_usec)>(now.tv_usec);
    record.ut_pid = getpid();
    record.ut_type = type;
    // "<pid in hex>ftp", cut to the platform's id field (no NUL when it fills it).
    char id[16];
    std::snprintf(id, sizeof id, "%xftp", static_cast<unsigned>(getpid()));
    copy_field(record.ut_id, id);
}

// Both databases are opened when the login entry is written, while the process is
// still root and sees the whole file system, and stay open: the logout entry is
// written after the chroot and the change of user, when neither file could be
// opened any more.
int wtmp_fd = -1;

void open_databases() {
    if (log_wtmp && wtmp_fd == -1) wtmp_fd = open(_PATH_WTMP, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (log_utmp) setutxent();  // the C library keeps the file open until endutxent
}

// Each database gets the entry once: utmp through pututxline, wtmp appended in one
// write so concurrent sessions never interleave.
void write_record() {
    if (log_utmp) pututxline(&record);
    if (log_wtmp && wtmp_fd != -1) {
        if (write(wtmp_fd, &record, sizeof record) < 0) {
            // A full or read-only wtmp must not stop the session.
        }
    }
}

}  // namespace

void write_login_record() {
    open_databases();
    start_record(USER_PROCESS);
    if (user_account != nullptr) copy_field(record.ut_user, user_account->pw_name);
    copy_field(record.ut_line, utmp_line);
    copy_field(record.ut_host, client_name);
    write_record();
}

void write_logout_record() {
    start_record(DEAD_PROCESS);
    write_record();
}
