// Login and logout records in the login-records database.
#pragma once

// The login entry of the account in user_account (USER_PROCESS).
void write_login_record();
// The logout entry of this session (DEAD_PROCESS).
void write_logout_record();
