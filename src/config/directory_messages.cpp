// Directory notices: the display file and the notify list, once per directory and
// login; and the expansion of path templates.
#include "config/messages.h"

#include <bsd/stringlist.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/class_settings.h"
#include "login/login_state.h"
#include "platform/bounded_glob.h"
#include "server/control.h"
#include "server/log.h"

namespace {

constexpr std::size_t cwd_size = 1024;

StringList* visited_directories = nullptr;

// Days between the file's modification and now, by local calendar, leap years aside.
int age_in_days(time_t modified) {
    time_t now = time(nullptr);
    struct tm then_tm {};
    struct tm now_tm {};
    localtime_r(&modified, &then_tm);
    localtime_r(&now, &now_tm);
    return (now_tm.tm_year - then_tm.tm_year) * 365 + (now_tm.tm_yday - then_tm.tm_yday);
}

void show_notify_list(int code) {
    if (curclass.notify == nullptr || curclass.notify[0] == '\0') return;
    // The pattern is expanded in whatever directory the user entered, which users may
    // fill themselves: the expansion is bounded like every other glob.
    glob_t matches {};
    if (bounded_glob(curclass.notify, GLOB_BRACE, &matches) != 0 || matches.gl_pathc == 0) {
        globfree(&matches);
        return;
    }
    for (std::size_t i = 0; i < matches.gl_pathc; ++i) {
        const char* name = matches.gl_pathv[i];
        struct stat st {};
        if (stat(name, &st) < 0 || !S_ISREG(st.st_mode)) continue;
        if (code != 0) {
            send_reply(-code, "%s", "");
            code = 0;
        }
        send_reply(0, "Please read the file %s", name);
        char when[32] = "";
        if (ctime_r(&st.st_mtime, when) == nullptr) when[0] = '\0';
        int age = age_in_days(st.st_mtime);
        send_reply(0, "  it was last modified on %.24s - %d day%s ago", when, age,
                   age == 1 ? "" : "s");
    }
    globfree(&matches);
}

}  // namespace

void show_cwd_messages(int code) {
    if (code == -1) {
        if (visited_directories != nullptr) sl_free(visited_directories, 1);
        visited_directories = nullptr;
        return;
    }
    if (messages_suppressed) return;
    if (visited_directories == nullptr) visited_directories = sl_init();
    if (visited_directories == nullptr) {
        log_message(LOG_WARNING, "can't allocate memory for stringlist");
        return;
    }
    char cwd[cwd_size];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        log_message(LOG_WARNING, "can't getcwd: %s", std::strerror(errno));
        return;
    }
    if (sl_find(visited_directories, cwd) != nullptr) return;
    char* copy = strdup_or_die(cwd);
    if (sl_add(visited_directories, copy) < 0) {
        log_message(LOG_WARNING, "can't add `%s' to stringlist", cwd);
        std::free(copy);
    }
    display_message_file(curclass.display, code);
    show_notify_list(code);
}

void expand_path_template(char* buffer, const char* path_template) {
    std::size_t used = 0;
    buffer[0] = '\0';
    if (path_template == nullptr) return;
    auto append = [&](const char* text) {
        for (; text != nullptr && *text != '\0' && used + 1 < path_template_size; ++text)
            buffer[used++] = *text;
    };
    for (const char* p = path_template; *p != '\0' && used + 1 < path_template_size; ++p) {
        if (*p != '%') {
            buffer[used++] = *p;
            continue;
        }
        ++p;
        switch (*p) {
            case 'c': append(curclass.classname); break;
            case 'd': append(user_account != nullptr ? user_account->pw_dir : nullptr); break;
            case 'u': append(user_account != nullptr ? user_account->pw_name : nullptr); break;
            case '%': append("%"); break;
            case '\0': --p; break;  // a lone "%" at the end gives nothing
            default: break;
        }
    }
    buffer[used] = '\0';
}
