// On-the-fly conversions: a missing file name with a known suffix is served as the
// output of the class's conversion command.
#pragma once

// The argument vector (owned by the caller, free with free_conversion_argv) of the
// first conversion rule that applies to `path`, or null. errno is left unchanged.
char** find_conversion(const char* path);
void free_conversion_argv(char** argv);
