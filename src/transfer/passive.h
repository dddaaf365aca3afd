// Passive mode: PASV, LPSV and EPSV.
#pragma once

void cmd_pasv();
// LPSV and EPSV; `family` 0 means the control connection's family.
void cmd_long_passive(const char* command, int family);
