// The login state and the private copy of the password entry.
#include "login/login_state.h"

#include <cstdlib>
#include <cstring>

#include "server/control.h"

bool login_complete = false;
passwd* user_account = nullptr;
bool awaiting_password = false;
bool user_permitted = false;
int failed_password_count = 0;
bool messages_suppressed = false;
gid_t* user_groups = nullptr;
int user_group_count = 0;
char login_dir[login_dir_size] = "/";

namespace {

passwd private_entry;
bool private_entry_used = false;

void free_private_entry() {
    std::free(private_entry.pw_name);
    if (private_entry.pw_passwd != nullptr) {
        secure_zero(private_entry.pw_passwd, 0, std::strlen(private_entry.pw_passwd));
        std::free(private_entry.pw_passwd);
    }
    std::free(private_entry.pw_gecos);
    std::free(private_entry.pw_dir);
    std::free(private_entry.pw_shell);
}

char* copy_field(const char* text) { return strdup_or_die(text != nullptr ? text : ""); }

}  // namespace

passwd* copy_passwd_entry(const char* name) {
    passwd* found = getpwnam(name);
    if (found == nullptr) return nullptr;
    if (private_entry_used) free_private_entry();
    private_entry = *found;
    private_entry.pw_name = copy_field(found->pw_name);
    private_entry.pw_passwd = copy_field(found->pw_passwd);
    private_entry.pw_gecos = copy_field(found->pw_gecos);
    private_entry.pw_dir = copy_field(found->pw_dir);
    private_entry.pw_shell = copy_field(found->pw_shell);
    private_entry_used = true;
    return &private_entry;
}
