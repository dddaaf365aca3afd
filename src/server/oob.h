// Commands that arrive as urgent data while a transfer runs: ABOR and STAT.
#pragma once

// Called by the transfer loops when urgent_pending is set. Reads the line the
// client sent; ABOR aborts (426 and 226 replies; returns 1: stop the copy), STAT
// reports the progress (returns 0), any other line waits in pending_line for the
// command loop (returns 0).
int handle_oob_command();
