// USER and PASS: choose the kind of login and the class, authenticate, confine the
// process, take on the user's identity and greet. end_login undoes a login.
#include "login/user.h"

#include <grp.h>
#include <bsd/unistd.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config/class_settings.h"
#include "config/messages.h"
#include "login/access_lists.h"
#include "login/blocklist.h"
#include "login/connection_count.h"
#include "login/identity.h"
#include "login/login_records.h"
#include "login/login_state.h"
#include "login/pam_auth.h"
#include "platform/blocklist.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

// Control ports from here on are not privileged: a confined login there gives up
// root for good, since nothing it does needs root again.
constexpr in_port_t first_unprivileged_control_port = 1026;
// The sixth wrong password in a row ends the session.
constexpr int most_failed_passwords = 5;

const char* type_name(int type) {
    switch (type) {
        case GUEST: return "GUEST";
        case CHROOT: return "CHROOT";
        case REAL: return "REAL";
        default: return "<unknown>";
    }
}

bool is_anonymous_name(const char* name) {
    return std::strcmp(name, "ftp") == 0 || std::strcmp(name, "anonymous") == 0;
}

// Is the account's shell ("/bin/sh" when empty) in the system's list of shells?
bool shell_is_listed(const passwd* account) {
    const char* shell = account->pw_shell != nullptr && account->pw_shell[0] != '\0'
                            ? account->pw_shell
                            : "/bin/sh";
    bool listed = false;
    setusershell();
    for (const char* entry = getusershell(); entry != nullptr; entry = getusershell()) {
        if (std::strcmp(entry, shell) == 0) {
            listed = true;
            break;
        }
    }
    endusershell();
    return listed;
}

void set_login_name(const char* name) { std::snprintf(login_name, login_name_size, "%s", name); }

// The anonymous names: the account "ftp", and both names permitted by ftpusers.
// False when the login was refused (the reply has been sent).
bool accept_anonymous(const char* name) {
    user_account = copy_passwd_entry("ftp");
    if (user_account == nullptr) {
        send_reply(530, "User %s unknown.", name);
    } else if (check_access_file("ftpusers", "ftp", 1, nullptr) == 0 ||
               check_access_file("ftpusers", "anonymous", 1, nullptr) == 0) {
        send_reply(530, "User %s access denied.", name);
    } else {
        curclass.type = GUEST;
        awaiting_password = true;
        send_reply(331, "Guest login ok, type your name as password.");
        set_login_name("ftp");
        return true;
    }
    if (logging_level > 0) log_message(LOG_NOTICE, "ANONYMOUS FTP LOGIN REFUSED FROM %s", client_name);
    end_login();
    return false;
}

const char* default_class_name() {
    switch (curclass.type) {
        case GUEST: return "guest";
        case CHROOT: return "chroot";
        case REAL: return "real";
    }
    log_message(LOG_ERR, "unknown curclass.type %d; aborting", static_cast<int>(curclass.type));
    std::abort();
}

void refuse_login(const char* account_name) {
    send_reply(530, "User %s may not use FTP.", account_name);
    if (logging_level > 0)
        log_message(LOG_NOTICE, "FTP LOGIN REFUSED FROM %s, %s", client_name, account_name);
    end_login();
}

// A wrong password or an unknown user; the sixth in a row ends the session.
void count_failed_password() {
    send_reply(530, "%s", "Login incorrect.");
    blocklist_report(BLOCKLIST_AUTH_FAIL, "badpass");
    if (logging_level > 0) {
        log_message(LOG_NOTICE, "FTP LOGIN FAILED FROM %s", client_name);
        log_message(LOG_NOTICE | LOG_AUTHPRIV, "FTP LOGIN FAILED FROM %s, %s", client_name,
                    login_name);
    }
    user_account = nullptr;
    if (failed_password_count++ >= most_failed_passwords) {
        log_message(LOG_NOTICE, "repeated login failures from %s", client_name);
        end_session(0);
    }
}

void read_back_groups() {
    int count = getgroups(0, nullptr);
    std::free(user_groups);
    user_groups = nullptr;
    user_group_count = 0;
    if (count <= 0) return;
    user_groups = static_cast<gid_t*>(std::calloc(static_cast<std::size_t>(count), sizeof(gid_t)));
    if (user_groups == nullptr) fatal_error("Local resource failure: malloc");
    int got = getgroups(count, user_groups);
    user_group_count = got > 0 ? got : 0;
}

// True when the session limit of the class refuses this login (reply sent).
bool over_session_limit(const char* account_name) {
    if (curclass.limit == -1 || curclass.limit >= class_connections) return false;
    if (curclass.limitfile != nullptr && curclass.limitfile[0] != '\0')
        display_message_file(config_file_path(curclass.limitfile), 530);
    send_reply(530, "User %s access denied, connection limit of %lld reached.", account_name,
               curclass.limit);
    log_message(LOG_NOTICE,
                "Maximum connection limit of %lld for class %s reached, login refused for %s",
                curclass.limit, curclass.classname, account_name);
    end_login();
    return true;
}

// Change root and directory for the kind of login. False when the login was refused
// (the reply has been sent); the unrecoverable failures end the session.
bool confine(const passwd* account) {
    char root[path_template_size];
    std::strcpy(login_dir, "/");
    if (curclass.type == REAL) {
        if (curclass.chroot != nullptr) {
            expand_path_template(root, curclass.chroot);
            if (root[0] == '\0' || !change_root(root)) {
                log_message(LOG_NOTICE, "REAL user %s: can't chroot to %s: %m", account->pw_name, root);
                fatal_error("Can't change root.");
            }
        }
        expand_path_template(login_dir,
                             curclass.homedir != nullptr ? curclass.homedir : account->pw_dir);
        if (login_dir[0] == '\0' || chdir(login_dir) < 0) {
            if (chdir("/") < 0) {
                log_message(LOG_NOTICE, "REAL user %s: can't chdir to %s: %m", account->pw_name,
                            login_dir);
                send_reply(530, "User %s: can't change directory to %s.", account->pw_name,
                           login_dir[0] != '\0' ? login_dir : "/");
                end_login();
                return false;
            }
            send_reply(-230, "No directory! Logging in with home=/");
            std::strcpy(login_dir, "/");
        }
        return true;
    }

    const char* root_template = curclass.chroot;
    if (root_template == nullptr) {
        if (curclass.type == CHROOT) root_template = account->pw_dir;
        else root_template = anonymous_root != nullptr ? anonymous_root : account->pw_dir;
    }
    expand_path_template(root, root_template);
    if (curclass.homedir != nullptr) expand_path_template(login_dir, curclass.homedir);
    if (login_dir[0] == '\0') std::strcpy(login_dir, "/");
    const char* kind = curclass.type == CHROOT ? "CHROOT" : "GUEST";
    const char* failure = curclass.type == CHROOT ? "Can't change root." : "Can't set guest privileges.";
    if (root[0] == '\0' || !change_root(root)) {
        log_message(LOG_NOTICE, "%s user %s: can't chroot to %s: %m", kind, account->pw_name, root);
        fatal_error(failure);
    }
    if (chdir(login_dir) < 0) {
        log_message(LOG_NOTICE, "%s user %s: can't chdir to %s: %m", kind, account->pw_name,
                    login_dir);
        fatal_error(failure);
    }
    return true;
}

void take_identity(const passwd* account) {
    bool unprivileged_port = ntohs(local_addr.port()) >= first_unprivileged_control_port;
    if (drop_privileges != 0 || (curclass.type != REAL && unprivileged_port)) {
        drop_privileges = 1;
        const char* failed_step = nullptr;
        if (!drop_root_for_good(account->pw_uid, account->pw_gid, &failed_step)) {
            log_message(LOG_NOTICE, "user %s: can't %s: %m", account->pw_name, failed_step);
            fatal_error("Can't drop privileges.");
        }
        return;
    }
    // The real user id stays root, so the data port can be bound and the login undone.
    if (!set_effective_user(account->pw_uid)) {
        log_message(LOG_NOTICE, "user %s: can't seteuid: %m", account->pw_name);
        fatal_error("Can't drop privileges.");
    }
}

// The guest's identification text with every non-graphic character made "_".
void keep_guest_identification(passwd* account, const char* password) {
    if (account->pw_passwd != nullptr) {
        secure_zero(account->pw_passwd, 0, std::strlen(account->pw_passwd));
        std::free(account->pw_passwd);
    }
    account->pw_passwd = strdup_or_die(password);
    for (char* p = account->pw_passwd; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c >= 128 || std::isgraph(c) == 0) *p = '_';
    }
}

void greet_user(passwd* account, const char* password) {
    if (curclass.type == GUEST) {
        send_reply(230, "Guest login ok, access restrictions apply.");
        std::snprintf(proctitle_prefix, sizeof proctitle_prefix, "%s: anonymous/%s", client_name,
                      password);
        setproctitle("%s", proctitle_prefix);
        if (logging_level > 0)
            log_message(LOG_INFO, "ANONYMOUS FTP LOGIN FROM %s, %s (class: %s, type: %s)",
                        client_name, password, curclass.classname, type_name(curclass.type));
        keep_guest_identification(account, password);
        return;
    }
    send_reply(230, "User %s logged in.", account->pw_name);
    std::snprintf(proctitle_prefix, sizeof proctitle_prefix, "%s: %s", client_name,
                  account->pw_name);
    setproctitle("%s", proctitle_prefix);
    if (logging_level > 0)
        log_message(LOG_INFO, "FTP LOGIN FROM %s as %s (class: %s, type: %s)", client_name,
                    account->pw_name, curclass.classname, type_name(curclass.type));
}

// The password step: `checked` says PAM has verified the password inside USER, with
// `result` its verdict (0 good, 1 wrong, -1 PAM error).
void do_pass(bool checked, int result, const char* password) {
    if (login_complete || !awaiting_password) {
        send_reply(503, "Login with USER first.");
        return;
    }
    awaiting_password = false;
    if (curclass.type != GUEST) {
        if (!checked) log_message(LOG_ERR, "do_pass: USE_PAM shouldn't get here");
        if (user_account == nullptr || !checked || result != 0) {
            count_failed_password();
            return;
        }
    }
    passwd* account = user_account;
    if (!user_permitted) {
        refuse_login(account->pw_name);
        return;
    }
    failed_password_count = 0;
    if (!set_effective_group(account->pw_gid)) {
        log_message(LOG_NOTICE, "user %s: can't setegid: %m", account->pw_name);
        fatal_error("Can't drop privileges.");
    }
    init_groups(account->pw_name, account->pw_gid);
    open_pam_session();
    read_back_groups();
    if (log_utmp || log_wtmp) write_login_record();
    login_complete = true;
    class_connections = 1;
    if (use_pid_file) count_connections();
    if (over_session_limit(account->pw_name)) return;
    if (!confine(account)) return;
    // A new session of its own; Linux keeps no login name per session, so there is
    // no setlogin to call.
    setsid();
    take_identity(account);

    char* home = nullptr;
    if (asprintf(&home, "HOME=%s", login_dir) < 0 || putenv(home) != 0) {
        send_reply(550, "Local resource failure: malloc");
        end_login();
        return;
    }
    if (curclass.type == GUEST && password[0] == '-') messages_suppressed = true;
    if (curclass.motd != nullptr && curclass.motd[0] != '\0')
        display_message_file(config_file_path(curclass.motd), 230);
    show_cwd_messages(230);
    greet_user(account, password);
    umask(curclass.umask);
}

}  // namespace

void cmd_user(const char* name) {
    if (login_complete) {
        switch (curclass.type) {
            case REAL:
                if (drop_privileges != 0) {
                    send_reply(530, "Can't change user.");
                    return;
                }
                end_login();
                break;
            case CHROOT:
                send_reply(530, "Can't change user from chroot user.");
                return;
            case GUEST:
                send_reply(530, "Can't change user from guest login.");
                return;
        }
    }
    curclass.type = REAL;
    awaiting_password = false;
    user_permitted = false;

    bool refused = false;
    if (is_anonymous_name(name)) {
        refused = !accept_anonymous(name);
    } else {
        user_account = copy_passwd_entry(name);
        set_login_name(name);
    }

    if (!refused) {
        char* class_word = nullptr;
        user_permitted = check_access_file("ftpusers", login_name, 1, &class_word) == 1;
        if (check_access_file("ftpchroot", login_name, 0, nullptr) == 1) {
            if (curclass.type == GUEST) {
                log_message(LOG_NOTICE,
                            "Can't change guest user to chroot class; remove entry in %s",
                            "ftpchroot");
                end_session(1);
            }
            curclass.type = CHROOT;
        }
        char* class_name = class_word != nullptr ? class_word : strdup_or_die(default_class_name());
        load_config(class_name);
        std::free(class_name);

        if (user_account == nullptr) {
            user_permitted = false;
        } else if (!shell_is_listed(user_account) && curclass.type != GUEST) {
            user_permitted = false;
        }

        if (curclass.has(class_flag::denyquick) && !user_permitted) {
            send_reply(530, "User %s may not use FTP.", login_name);
            if (logging_level > 0)
                log_message(LOG_NOTICE, "FTP LOGIN REFUSED FROM %s, %s", client_name, login_name);
            end_login();
        } else if (!awaiting_password) {
            awaiting_password = true;
            int verdict = auth_pam();
            do_pass(true, verdict, "");
        }
    }

    // Slow down password guessing: every USER waits one second per failure so far.
    if (failed_password_count > 0) sleep(static_cast<unsigned>(failed_password_count));
}

void cmd_pass(const char* password) { do_pass(false, 0, password); }

void end_login() {
    if (login_complete && (log_utmp || log_wtmp)) write_logout_record();
    show_cwd_messages(-1);
    if (user_account != nullptr && user_account->pw_passwd != nullptr)
        secure_zero(user_account->pw_passwd, 0, std::strlen(user_account->pw_passwd));
    user_account = nullptr;
    login_complete = false;
    awaiting_password = false;
    user_permitted = false;
    messages_suppressed = false;
    user_group_count = 0;
    curclass.type = REAL;
    if (drop_privileges == 0 && !set_effective_user(0)) {
        log_message(LOG_NOTICE, "end_login: can't seteuid 0: %m");
        fatal_error("Can't reset privileges.");
    }
    close_pam_session();
}
