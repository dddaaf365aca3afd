// The standalone listener (-D).
#pragma once

// Listen on the FTP port and fork a child per connection; returns only in a child,
// with the connection on descriptors 0, 1 and 2.
void run_standalone_listener();
