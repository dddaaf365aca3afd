// Decimal numbers with size suffixes and products ("64k", "2mx3", "-1").
#pragma once

#include <cstddef>

// Longest chain of products: 16 operators, that is 17 factors.
constexpr int size_number_max_depth = 16;

// Parse `text` as a number in [minimum, maximum]. On success `error` holds an
// empty string and the value is returned; on any error `error` holds the message
// (cut to `error_size`) and 0 is returned. Callers test error[0], never the value.
// `description` names the quantity in messages.
long long parse_size_number(const char* description, const char* text, long long minimum,
                            long long maximum, char* error, std::size_t error_size);
