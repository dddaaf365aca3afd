// STAT without argument: the server status report.
#pragma once

// Send the multi-line 211 report on the server, the client, the login, the
// transfer parameters, the data connection, the counters and (for a logged-in
// user of a class that is not private) the class settings. Only reads session
// state; the traffic counters grow by the report's own bytes as it is sent.
void cmd_stat_server();
