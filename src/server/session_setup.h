// The per-connection set-up that turns descriptor 0 into a greeted session.
#pragma once

// Read both addresses, set socket options and signal handlers, name the client,
// reset the session, turn the client away if "/var/run/nologin" exists, greet, and
// open the transfer log. Exits with 1 when the addresses cannot be read.
void setup_connection(const char* invocation_name);
