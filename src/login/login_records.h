// Login and logout records in the login-records database.
#pragma once

// Write the login record of the user now logging in.
void write_login_record();
// Write the logout record (DEAD_PROCESS) of this session's line.
void write_logout_record();
