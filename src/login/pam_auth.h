// Authentication of real users through PAM, service "wharfd".
#pragma once

// Authenticate login_name; the conversation asks the client for the password with
// its own 331 reply and reads the PASS line. Returns 0 when authenticated and the
// account is valid (the handle stays open), 1 for a wrong password, unknown user,
// too many tries or a refused account, -1 for a PAM error.
int auth_pam();

// After a successful login: open the PAM session and establish credentials.
void open_pam_session();

// At the end of a login: delete credentials, close the session, end the handle.
void close_pam_session();
