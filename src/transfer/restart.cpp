// Restart points in TYPE A.
#include "transfer/restart.h"

#include <cerrno>

bool skip_to_ascii_offset(FILE* stream, long long offset) {
    long long counted = 0;
    while (counted < offset) {
        int c = std::getc(stream);
        if (c == EOF) {
            if (!std::ferror(stream)) errno = EINVAL;
            return false;
        }
        counted += c == '\n' ? 2 : 1;
    }
    return true;
}
