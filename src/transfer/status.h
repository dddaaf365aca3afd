// STAT without argument: the server status report.
#pragma once

void cmd_stat_server();
