// Storage of the data-connection state.
#include "transfer/data_channel.h"

DataChannel data_channel;
long long transfer_bytes_done = 0;
long long transfer_size_expected = -1;
