// Reports of failed passwords to the system's blocklist daemon.
#pragma once

// Open the blocklist handle at start-up (no handle when the system has no daemon).
void blocklist_init();
