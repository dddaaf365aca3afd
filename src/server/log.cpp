// The one way to syslog.
#include "server/log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace {
constexpr int log_buffer_size = 2048;
}

void log_message(int priority, const char* format, ...) {
    char text[log_buffer_size];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    for (char* p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) *p = '?';
    }
    syslog(priority, "%s", text);
}
