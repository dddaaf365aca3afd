// The built-in directory lister.
#pragma once

// List as ls(1) does; writes to stdout, diagnostics to stderr; returns the exit
// status. Callable again in a forked child (the option parser is reset).
int lister_main(int argc, char** argv);
