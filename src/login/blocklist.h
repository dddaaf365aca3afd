// Reports of failed passwords to the system's blocklist daemon.
#pragma once

// Open the blocklist handle at start-up, if there is none yet.
void blocklist_init();

// Report `action` (BLOCKLIST_AUTH_FAIL) with `message` for the client on
// descriptor 0; opens the handle first if needed; does nothing without one.
void blocklist_report(int action, const char* message);
