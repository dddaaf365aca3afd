// Commands whose handlers are not built yet answer that they are not implemented.
// Each handler leaves this file when its own code lands.
#include <syslog.h>

#include "files/file_commands.h"
#include "files/mlst.h"
#include "login/access_lists.h"
#include "login/check_mode.h"
#include "server/control.h"
#include "server/listener.h"
#include "server/log.h"
#include "transfer/name_list.h"
#include "transfer/status.h"

namespace {
void not_implemented(const char* name) { send_reply(502, "%s command not implemented.", name); }
}  // namespace


void cmd_cwd(const char*) { not_implemented("CWD"); }
void cmd_pwd() { not_implemented("PWD"); }
void cmd_dele(const char*) { not_implemented("DELE"); }
void cmd_mkd(const char*) { not_implemented("MKD"); }
void cmd_rmd(const char*) { not_implemented("RMD"); }
char* cmd_rnfr(const char*) {
    not_implemented("RNFR");
    return nullptr;
}
void cmd_rnto(const char*, const char*) { not_implemented("RNTO"); }
void cmd_size(const char*) { not_implemented("SIZE"); }
void cmd_stat_file(const char*) { not_implemented("STAT"); }

void cmd_feat() { not_implemented("FEAT"); }
void cmd_opts(const char*) { not_implemented("OPTS"); }
void cmd_mlst(const char*) { not_implemented("MLST"); }
void cmd_mlsd(const char*) { not_implemented("MLSD"); }


void cmd_nlst(const char*) { not_implemented("NLST"); }
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

// Command pipes and conversions arrive with their own code.
#include <cerrno>

#include "config/conversions.h"
#include "pipe/command_pipe.h"
FILE* open_command_pipe(const char* const*, const char*, int) {
    errno = ENOSYS;
    return nullptr;
}
int close_command_pipe(FILE* stream) {
    if (stream != nullptr) std::fclose(stream);
    return -1;
}
char** find_conversion(const char*) { return nullptr; }
void free_conversion_argv(char**) {}
