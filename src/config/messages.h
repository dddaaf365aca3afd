// Message files shown to the client as continuation lines of a reply.
#pragma once

#include <cstddef>

// Show the file at `path` as continuation lines of a reply with `code`: an opening
// "<code>-" line, then each line of the file after four blanks with its % escapes
// replaced (%C %E %L %M %N %R %S %T %U %c %s %%; others vanish), every byte counted
// as traffic. The caller sends the final line. Returns 1 when the file was shown,
// 0 when there is no path, the client asked for no messages, or the file cannot be
// opened or is not a regular file; then nothing at all is sent.
int display_message_file(const char* path, int code);

// After a change of directory: show the directory's display file and notify list
// the first time the directory is entered in this login, as continuation lines of
// a reply with `code` (250 CWD, 230 login). With -1, forget the visited list.
void show_cwd_messages(int code);

constexpr std::size_t path_template_size = 1024;

// Expand %c (class), %d (home directory), %u (account name) and %% of `path_template`
// into `buffer` (path_template_size bytes); other escapes vanish; the result is cut
// to 1023 characters. A null template gives an empty result.
void expand_path_template(char* buffer, const char* path_template);
