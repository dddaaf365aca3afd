// No blocklist daemon on this platform: no handle, no reports.
#include "platform/blocklist.h"

blocklist* blocklist_open() { return nullptr; }

int blocklist_r(blocklist*, int, int, const char*) { return 0; }
