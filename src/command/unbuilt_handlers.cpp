// Commands whose handlers are not built yet answer that they are not implemented.
// Each handler leaves this file when its own code lands.
#include <syslog.h>

#include "server/control.h"
#include "server/listener.h"
#include "server/log.h"

// The standalone listener has its own code to come.
void run_standalone_listener() {
    log_message(LOG_ERR, "standalone mode is not available yet");
    end_session(1);
}

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
