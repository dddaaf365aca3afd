// Commands whose handlers are not built yet answer that they are not implemented.
// Each handler leaves this file when its own code lands.
#include <syslog.h>

#include "login/access_lists.h"
#include "login/check_mode.h"
#include "server/control.h"
#include "server/listener.h"
#include "server/log.h"
#include "transfer/status.h"

namespace {
void not_implemented(const char* name) { send_reply(502, "%s command not implemented.", name); }
}  // namespace

void cmd_stat_server() { not_implemented("STAT"); }

// Check mode needs the access lists; the standalone listener has its own code to
// come.
void run_check_mode(const char*) {
    log_message(LOG_ERR, "check mode is not available yet");
    end_session(1);
}
void run_standalone_listener() {
    log_message(LOG_ERR, "standalone mode is not available yet");
    end_session(1);
}

// The access lists arrive with the configuration code; until then a missing list
// refuses everybody, as a missing ftpusers file does.
int check_access_file(const char*, const char*, int, char** class_out) {
    if (class_out != nullptr) *class_out = nullptr;
    return 0;
}

// The configuration file arrives with the configuration code.
#include "config/class_settings.h"
void load_config(const char* class_name) {
    reset_class();
    curclass.classname = strdup_or_die(class_name);
}
const char* config_file_path(const char* name) { return name; }

// Conversions arrive with their own code.
#include "config/conversions.h"
char** find_conversion(const char*) { return nullptr; }
void free_conversion_argv(char**) {}

// The built-in lister arrives with its own code.
#include "lister/lister.h"
int lister_main(int, char**) {
    std::fputs("lister not available yet\n", stderr);
    return 1;
}
