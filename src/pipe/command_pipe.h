// Running the built-in lister or an external program with its output (or input) on
// a stream, with globbing of its arguments and no shell.
#pragma once

#include <cstdio>

// As `error_fd`: the child's standard error goes into the pipe with its output.
constexpr int command_error_to_output = -2;

// Start `argv` ("/bin/ls" runs the built-in lister in a forked child) with its
// standard output ("r") or input ("w") on the returned stream; `error_fd` becomes
// the child's standard error (-1: closed;
// command_error_to_output: the pipe). Null with errno set on failure.
FILE* open_command_pipe(const char* const* argv, const char* type, int error_fd);

// Close the stream, wait for the child and return its exit status (-1 unknown).
int close_command_pipe(FILE* stream);
