// The session's totals of file data, traffic and transfers.
#pragma once

// All start at 0. Data bytes and files are fed by the transfers, traffic by every
// write to and read from the client (server/control.cpp and the transfers).
struct TransferCounters {
    long long data_bytes_sent = 0;        // file data written to data connections
    long long data_bytes_received = 0;    // uploaded file data
    long long data_bytes_total = 0;       // both of the above
    long long data_files_sent = 0;        // RETRs that got a data connection
    long long data_files_received = 0;    // uploads that got a data connection
    long long data_files_total = 0;       // both of the above
    long long traffic_bytes_sent = 0;     // every byte sent to the client
    long long traffic_bytes_received = 0; // every byte received from the client
    long long traffic_bytes_total = 0;    // both of the above
    long long transfers_sent = 0;         // outgoing transfers (RETR, LIST, NLST, MLSD)
    long long transfers_received = 0;     // uploads
    long long transfers_total = 0;        // both of the above
};

extern TransferCounters transfer_counters;
