// The commands the grammar carries out itself: transfer parameters, REST, SYST,
// QUIT, MDTM, the session's SITE commands and the RFC 2228 refusals.
#pragma once

#include "command/grammar.h"
#include "command/tables.h"

// What TYPE asked for, filled in while its arguments are parsed.
struct TypeRequest {
    int type = TYPE_A;  // TransferType
    int form = FORM_N;  // TransferForm
    int byte_size = 8;  // for TYPE L
};

void cmd_type(const TypeRequest& request);
void cmd_stru(int structure_code);
void cmd_mode(int mode_code);
void cmd_allo();
void cmd_rest(long long offset);
void cmd_abor();
void cmd_noop();
void cmd_syst();
[[noreturn]] void cmd_quit();
void cmd_mdtm(const char* path);
// `mode` is the octal value, -1 for a digit 8 or 9.
void cmd_site_chmod(int mode, const char* path);
// Without `given` the current mask is shown; `mask` is octal, -1 when invalid.
void cmd_site_umask(bool given, int mask);
void cmd_site_idle(bool given, int seconds);
// SITE RATEGET (`get`) or SITE RATEPUT; `rate` null shows the current rate.
void cmd_site_rate(bool get, const char* rate);
// AUTH, ADAT, PROT, PBSZ, CCC, MIC, CONF and ENC.
void cmd_security(Token command);
