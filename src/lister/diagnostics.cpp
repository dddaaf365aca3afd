// The lister's warnings and fatal messages on standard error, in the C library's
// warn/err layout with the program name first.
#include <bsd/stdlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lister/lister_state.h"

namespace lister {

void warning(const char* format, ...) {
    std::fprintf(stderr, "%s: ", getprogname());
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}

void warning_errno() {
    std::fprintf(stderr, "%s: %s\n", getprogname(), std::strerror(errno));
}

void fatal(const char* text) {
    // Read errno first: the writes below may change it.
    const char* error_text = std::strerror(errno);
    if (text != nullptr)
        std::fprintf(stderr, "%s: %s: %s\n", getprogname(), text, error_text);
    else
        std::fprintf(stderr, "%s: %s\n", getprogname(), error_text);
    state.exit_status = 1;
}

}  // namespace lister
