// Check mode (-C user[@host]): may this user log in from this host?
#pragma once

// Exit 0 when the ftpusers file admits the user, 1 when it refuses.
[[noreturn]] void run_check_mode(const char* argument);
