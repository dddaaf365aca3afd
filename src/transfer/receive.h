// Receiving files: STOR, APPE and STOU.
#pragma once

// `mode` is "w" or "a"; `unique` makes a new name for STOU.
void cmd_store(const char* name, const char* mode, bool unique);
