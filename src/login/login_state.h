// Who is logged in: the login state that USER and PASS own and others read.
#pragma once

#include <pwd.h>
#include <sys/types.h>

#include <cstddef>

extern bool login_complete;        // a login has completed (login)
extern passwd* user_account;       // private copy of the account, or null (login)
extern bool awaiting_password;     // USER accepted a name, the password step has not run (login)
extern bool user_permitted;        // ftpusers and shell verdict for the login name (login)
extern int failed_password_count;  // failed password steps so far (login)
extern bool messages_suppressed;   // a guest asked for no messages (login)
extern gid_t* user_groups;         // the process's groups after login (login)
extern int user_group_count;       // length of user_groups (login)

constexpr std::size_t login_dir_size = 1024;
extern char login_dir[login_dir_size];  // start directory after confinement, "/" when none (login)

// The private copy of the password entry for `name`, replacing the previous copy
// (whose password text is wiped first); null when the name is unknown, and then the
// previous copy stays.
passwd* copy_passwd_entry(const char* name);
