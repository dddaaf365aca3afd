// Commands whose handlers are not built yet answer that they are not implemented.
// Each handler leaves this file when its own code lands.
#include <syslog.h>

#include "server/control.h"
#include "server/listener.h"
#include "server/log.h"
#include "transfer/status.h"

namespace {
void not_implemented(const char* name) { send_reply(502, "%s command not implemented.", name); }
}  // namespace

void cmd_stat_server() { not_implemented("STAT"); }

// The standalone listener has its own code to come.
void run_standalone_listener() {
    log_message(LOG_ERR, "standalone mode is not available yet");
    end_session(1);
}
