// The one way to syslog: every message is formatted into a bounded buffer first.
#pragma once

// Format and log at `priority` (a level, optionally with a facility). Texts that
// came from the client are cut with the buffer, and control characters are shown
// as '?' so a client cannot forge log lines. "%m" works as in syslog.
void log_message(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
