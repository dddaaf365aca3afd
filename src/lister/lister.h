// The built-in directory lister: a classic `ls` inside the server, so that LIST and
// STAT of a path work for confined users with no listing program in their tree.
#pragma once

// Parse `argv` (argv[0] is ignored) as an `ls` command line, list the operands on
// standard output (stdio) and write diagnostics to standard error. Returns the exit
// status (0, or 1 after any error) instead of ending the process; the output is
// flushed before it returns, so a caller may `_exit` with the result at once.
// Callable again in the same process: the option parser and all lister state are
// reset at the start of every call. Meant for a forked child: it sets the locale
// from the environment, and the walk changes the current directory while it runs
// (it returns to the starting directory at the end).
int lister_main(int argc, char** argv);
