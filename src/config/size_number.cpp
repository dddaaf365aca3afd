// Size-suffix numbers for configuration directives and SITE RATEGET/RATEPUT.
#include "config/size_number.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Shift amounts of the suffixes b k m g t w.
int suffix_shift(char c) {
    switch (c) {
        case 'b': return 9;
        case 'k': return 10;
        case 'm': return 20;
        case 'g': return 30;
        case 't': return 40;
        case 'w': return 2;
        default: return -1;
    }
}

long long out_of_range(const char* description, char* error, std::size_t error_size) {
    std::snprintf(error, error_size, "%s: %s", description, std::strerror(ERANGE));
    return 0;
}

long long illegal(const char* description, const char* text, char* error,
                  std::size_t error_size) {
    std::snprintf(error, error_size, "%s `%s': illegal number", description, text);
    return 0;
}

long long parse_at_depth(const char* description, const char* text, long long minimum,
                         long long maximum, char* error, std::size_t error_size, int depth) {
    if (error_size > 0) error[0] = '\0';
    if (depth > size_number_max_depth) {
        std::snprintf(error, error_size, "%s: Recursion limit exceeded", description);
        return 0;
    }
    while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text))) ++text;

    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (errno == ERANGE) return out_of_range(description, error, error_size);
    if (end == text) return illegal(description, text, error, error_size);

    int shift = suffix_shift(*end);
    if (shift >= 0) {
        // A shift that loses bits (or turns a negative value further down) is out of
        // range; the multiplication catches what a plain comparison would miss.
        long long scaled = 0;
        if (__builtin_mul_overflow(value, 1LL << shift, &scaled) || scaled < value)
            return out_of_range(description, error, error_size);
        value = scaled;
        ++end;
    }

    if (*end == 'x' || *end == '*') {
        long long right = parse_at_depth(description, end + 1, minimum, maximum, error,
                                         error_size, depth + 1);
        if (error_size > 0 && error[0] != '\0') return 0;
        long long product = 0;
        if (__builtin_mul_overflow(value, right, &product) || product < value)
            return out_of_range(description, error, error_size);
        value = product;
    } else if (*end != '\0') {
        return illegal(description, text, error, error_size);
    }

    if (value < minimum) {
        std::snprintf(error, error_size, "%s %lld is less than %lld.", description, value,
                      minimum);
        return 0;
    }
    if (value > maximum) {
        std::snprintf(error, error_size, "%s %lld is greater than %lld.", description, value,
                      maximum);
        return 0;
    }
    if (error_size > 0) error[0] = '\0';
    return value;
}

}  // namespace

long long parse_size_number(const char* description, const char* text, long long minimum,
                            long long maximum, char* error, std::size_t error_size) {
    return parse_at_depth(description, text, minimum, maximum, error, error_size, 0);
}
