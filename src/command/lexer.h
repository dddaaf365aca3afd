// The lexer that splits command_line into the grammar's terminals.
#pragma once

#include <cstddef>

#include "command/tables.h"

// Value of the terminal last returned by next_token.
struct TokenValue {
    const char* name = nullptr;  // command terminals: the row's name
    int number = 0;              // NUMBER: 32-bit value (truncated like atoi)
    long long number64 = 0;      // NUMBER in ARGUMENT_TOKENS: the 64-bit value
    char* string = nullptr;      // STRING: a new copy the grammar owns
};

extern LexState lexer_state;       // state of the lexer, COMMAND_WORD between lines (command)
extern std::size_t lexer_position; // index of the next character of command_line (command)
extern bool line_replied;          // a reply for this line has been sent (command)
extern TokenValue token_value;     // value of the last terminal (command)

// The next terminal of command_line; may send the lexer's 500/501/502 replies, after
// which it returns END_OF_INPUT with lexer_state back at COMMAND_WORD.
Token next_token();

// Reply 500 "'<line>': command not understood." unless the line has been answered.
void reply_not_understood();
