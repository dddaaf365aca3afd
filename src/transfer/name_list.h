// NLST name lists.
#pragma once

void cmd_nlst(const char* pattern);
