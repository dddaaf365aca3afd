// Sending files and command output: RETR and LIST.
#pragma once

// Send `name`, or with `argv` the output of that command vector (LIST).
void cmd_retr(const char* const* argv, const char* name);
