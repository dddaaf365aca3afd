// The command grammar: parses one command line and carries it out.
#pragma once

// Transfer parameters; the values are the grammar's code numbers.
enum TransferType : int { TYPE_A = 1, TYPE_E = 2, TYPE_I = 3, TYPE_L = 4 };
enum TransferForm : int { FORM_N = 1, FORM_T = 2, FORM_C = 3 };
enum FileStructure : int { STRU_F = 1, STRU_R = 2, STRU_P = 3 };
enum TransferMode : int { MODE_S = 1, MODE_B = 2, MODE_C = 3 };

extern long long restart_offset;  // REST offset for the next command, 0 none (command)
extern char* rename_from;         // path remembered by RNFR, owned, or null (command)
extern int transfer_type;         // TransferType (command)
extern int transfer_form;         // TransferForm (command)
extern int structure;             // FileStructure (command)
extern int transfer_mode;         // TransferMode (command)

// Parse and execute the command in command_line. Returns 0 when the line was
// accepted (a syntax error that reached the line's end counts), 1 when given up.
int parse_command();

enum class Permission { upload, modify };

// The check every modifying command makes: logged in, allowed by the class, and a
// sane name when the class asks for it. Replies and returns false on refusal; a
// null name is refused without a reply.
bool check_modify_access(const char* name, Permission permission);
