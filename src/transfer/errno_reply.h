// Replies that carry the description of a failed system call.
#pragma once

// Reply `code` "<text>: <strerror(errno)>."; errno is left as it was.
void reply_with_errno(int code, const char* text);

// End a copy with a failure reply: disarm the alarm, then reply_with_errno(code,
// text) with errno as it was. Returns false, the copy's result.
bool fail_transfer(int code, const char* text);
