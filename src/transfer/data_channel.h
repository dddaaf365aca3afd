// The session's data-connection state.
#pragma once

#include "platform/socket_address.h"

// Prepared by the active and passive commands, used by every transfer; one per
// process. Written by transfer/ and by the PORT/LPRT rules of the command grammar.
struct DataChannel {
    SocketAddress active_dest;        // where an active connection goes (PORT, LPRT, EPRT)
    SocketAddress active_local_addr;  // local end an active data socket is bound to
    SocketAddress passive_addr;       // local end of the passive listener
    int data_fd = -1;                 // open active data socket, -1 none
    int pasv_fd = -1;                 // passive listener, then the accepted socket, -1 none
    bool use_default_dest = true;     // next active connection goes to the control peer
    int epsv_all = 0;                 // non-zero after "EPSV ALL"
    int last_passive_port = 0;        // port last bound inside the passive range
};

extern DataChannel data_channel;

extern long long transfer_bytes_done;     // bytes moved in the current transfer (transfer)
extern long long transfer_size_expected;  // expected size, -1 unknown (transfer)
