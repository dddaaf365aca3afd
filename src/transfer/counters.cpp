// Storage of the session's transfer counters.
#include "transfer/counters.h"

TransferCounters transfer_counters;
