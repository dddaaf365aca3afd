// HELP and SITE HELP.
#pragma once

#include "command/tables.h"

// List `table` (command null) or show one command's syntax.
void cmd_help(CommandEntry* table, const char* command);
