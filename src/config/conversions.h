// On-the-fly conversions: a missing file name with a known suffix is served as the
// output of the class's conversion command.
#pragma once

// The argument vector (owned by the caller, free with free_conversion_argv) of the
// first conversion rule of curclass, in file order, that applies to `path`, or
// null. The base name (`path` without the suffix) stands for each word "%s" of the
// rule's command, as "./name" when it begins with "-" and with its glob characters
// quoted, since open_command_pipe globs the arguments. errno is left unchanged.
char** find_conversion(const char* path);
void free_conversion_argv(char** argv);
