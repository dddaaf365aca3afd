// FEAT, OPTS, MLST and MLSD.
#pragma once

void cmd_feat();
void cmd_opts(const char* argument);
// `path` may be null: the current directory.
void cmd_mlst(const char* path);
void cmd_mlsd(const char* path);
