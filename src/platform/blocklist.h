// The blocklist daemon's client interface. Linux distributions ship no such daemon,
// so opening yields no handle and nothing is ever reported.
#pragma once

struct blocklist;

constexpr int BLOCKLIST_AUTH_OK = 0;
constexpr int BLOCKLIST_AUTH_FAIL = 1;

blocklist* blocklist_open();
int blocklist_r(blocklist* handle, int action, int fd, const char* message);
