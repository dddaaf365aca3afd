// Replies that carry the description of a failed system call.
#pragma once

// Reply `code` "<text>: <strerror(errno)>."; errno is left as it was.
void reply_with_errno(int code, const char* text);
