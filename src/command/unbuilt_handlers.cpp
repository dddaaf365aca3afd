// Commands whose handlers are not built yet answer that they are not implemented.
// Each handler leaves this file when its own code lands.
#include <syslog.h>

#include "files/file_commands.h"
#include "files/mlst.h"
#include "login/blocklist.h"
#include "login/login_records.h"
#include "login/user.h"
#include "server/control.h"
#include "server/listener.h"
#include "server/log.h"
#include "transfer/active.h"
#include "transfer/name_list.h"
#include "transfer/passive.h"
#include "transfer/receive.h"
#include "transfer/send.h"
#include "transfer/status.h"

namespace {
void not_implemented(const char* name) { send_reply(502, "%s command not implemented.", name); }
}  // namespace

void cmd_user(const char*) { not_implemented("USER"); }
void cmd_pass(const char*) { not_implemented("PASS"); }
void end_login() {}

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

void check_port_command(const char* command, int) { not_implemented(command); }
int cmd_eprt(const char*) {
    not_implemented("EPRT");
    return -1;
}
int epsv_proto_to_family(int) { return 0; }
void cmd_pasv() { not_implemented("PASV"); }
void cmd_long_passive(const char* command, int) { not_implemented(command); }

void cmd_retr(const char* const* argv, const char*) {
    not_implemented(argv != nullptr ? "LIST" : "RETR");
}
void cmd_store(const char*, const char* mode, bool unique) {
    not_implemented(unique ? "STOU" : (mode[0] == 'a' ? "APPE" : "STOR"));
}
void cmd_nlst(const char*) { not_implemented("NLST"); }
void cmd_stat_server() { not_implemented("STAT"); }

// Login records arrive with the login sequence; until then nobody logs in.
void write_login_record() {}
void write_logout_record() {}

// The standalone listener and blocklist reports have their own code to come.
void blocklist_init() {}
void run_standalone_listener() {
    log_message(LOG_ERR, "standalone mode is not available yet");
    end_session(1);
}
