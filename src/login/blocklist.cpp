// Reports of failed passwords to the system's blocklist daemon.
#include "login/blocklist.h"

#include "platform/blocklist.h"

namespace {
blocklist* blocklist_handle = nullptr;
}

void blocklist_init() {
    if (blocklist_handle == nullptr) blocklist_handle = blocklist_open();
}

void blocklist_report(int action, const char* message) {
    blocklist_init();
    if (blocklist_handle == nullptr) return;
    // The daemon learns the client's address from the control connection.
    blocklist_r(blocklist_handle, action, 0, message);
}
