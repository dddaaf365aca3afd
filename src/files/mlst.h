// FEAT, OPTS, MLST and MLSD.
#pragma once

void cmd_feat();
void cmd_opts(const char* argument);
// `path` may be null: the current directory.
void cmd_mlst(const char* path);
void cmd_mlsd(const char* path);

constexpr int unique_fact_size = 23;
// The Unique fact: base64 (RFC 4648, no padding) of the device and the inode, each
// as 8 bytes least significant first: 22 characters and a NUL in `text`.
void unique_fact_text(unsigned long long device, unsigned long long inode, char* text);
