// Restart points in TYPE A, where a line feed stands for the two bytes CR LF.
#pragma once

#include <cstdio>

// Read and drop bytes of `stream`, counting a line feed as 2 and any other byte as
// 1, until the count reaches `offset`. False at an error or when the stream ends
// first (errno EINVAL then: the restart point lies beyond the data).
bool skip_to_ascii_offset(FILE* stream, long long offset);
