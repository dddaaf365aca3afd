// Every change of identity and confinement goes through these helpers. Each change
// is checked afterwards; a helper that returns false has left errno set, and the
// caller logs its own line and ends the session through fatal_error.
#pragma once

#include <sys/types.h>

// setegid / seteuid, checked with getegid / geteuid.
bool set_effective_group(gid_t gid);
bool set_effective_user(uid_t uid);

// Give up root for good: setgid, then setuid, then prove that root cannot be had
// back. `failed_step` receives "setgid" or "setuid" on failure.
bool drop_root_for_good(uid_t uid, gid_t gid, const char** failed_step);

// initgroups for the account.
int init_groups(const char* name, gid_t gid);

// chroot to `path`.
bool change_root(const char* path);

// Set the real, effective and saved group and user ids all to the user's, with
// direct system calls: safe in a vfork child, where the C library's wrappers must
// not run. False when a call failed or root could still be had back.
bool become_user_in_child(uid_t uid, gid_t gid);
