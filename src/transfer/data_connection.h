// Opening and closing the data connection of a transfer.
#pragma once

#include <cstdio>

// Accept on the passive listener, or connect to the active destination, and send
// the 150 reply naming `name` and, when `size` is not -1, its size. `mode` is the
// stdio mode of the stream ("w" to send, "r" to receive). Returns the stream, or
// null after a 425 reply. Starts the transfer progress counters.
FILE* open_data_connection(const char* name, long long size, const char* mode);

// Close the data stream and any passive listener; null does nothing.
void close_data_connection(FILE* stream);
