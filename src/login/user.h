// USER and PASS: the login sequence.
#pragma once

// The USER command.
void cmd_user(const char* name);
// The PASS command (anonymous logins; real users give their password inside USER).
void cmd_pass(const char* password);
// Undo a login or a half-done login.
void end_login();
