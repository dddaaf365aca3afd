// Command-line options of the server.
#pragma once

// Parse the options into the process settings; -C runs its check and exits.
// Bad options are logged and skipped; -a or -C without argument exit with 1.
void parse_options(int argc, char** argv);
