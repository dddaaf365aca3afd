// Identity and confinement changes, each checked after it is made.
#include "login/identity.h"

#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>


bool set_effective_group(gid_t gid) { return setegid(gid) == 0 && getegid() == gid; }

bool set_effective_user(uid_t uid) { return seteuid(uid) == 0 && geteuid() == uid; }

bool drop_root_for_good(uid_t uid, gid_t gid, const char** failed_step) {
    if (setgid(gid) < 0 || getgid() != gid || getegid() != gid) {
        *failed_step = "setgid";
        return false;
    }
    if (setuid(uid) < 0 || getuid() != uid || geteuid() != uid) {
        *failed_step = "setuid";
        return false;
    }
    // A process that can become root again has not given root up.
    if (uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) {
        *failed_step = "setuid";
        errno = EPERM;
        return false;
    }
    return true;
}

int init_groups(const char* name, gid_t gid) { return initgroups(name, gid); }

bool change_root(const char* path) { return chroot(path) == 0; }


bool become_user_in_child(uid_t uid, gid_t gid) {
    if (syscall(SYS_setresgid, gid, gid, gid) != 0) return false;
    if (syscall(SYS_setresuid, uid, uid, uid) != 0) return false;
    return uid == 0 || syscall(SYS_setresuid, 0, 0, 0) != 0;
}
