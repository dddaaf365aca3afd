// Message files shown to the client as continuation lines of a reply.
#pragma once

// Show the file at `path` as continuation lines of a reply with `code`: an opening
// "<code>-" line, then each line of the file after four blanks. The caller sends
// the final line. Returns 1 when the file was shown, 0 when there is no path, the
// client asked for no messages, or the file cannot be opened.
int display_message_file(const char* path, int code);
