// Directory and file commands.
#pragma once

void cmd_cwd(const char* path);
void cmd_pwd();
void cmd_dele(const char* path);
void cmd_mkd(const char* path);
void cmd_rmd(const char* path);
// Returns the path to remember for RNTO (owned by the caller), or null.
char* cmd_rnfr(const char* path);
void cmd_rnto(const char* from, const char* to);
void cmd_size(const char* path);
void cmd_stat_file(const char* path);
