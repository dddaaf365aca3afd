// The command and SITE tables, their rows and the terminals of the grammar.
#pragma once

#include <cstdint>

// The lexer's state; the numbers are those of the table rows.
enum LexState : std::int16_t {
    COMMAND_WORD = 0,                // the command word at the start of a line
    ARGUMENT_TOKENS = 1,             // numbers, commas, blanks, letters, ALL, end of line
    BLANK_THEN_STRING = 2,           // one blank, then the rest of the line
    STRING_TO_END = 3,               // the rest of the line as a non-empty string
    OPTIONAL_BLANK_STRING = 4,       // end of line, or a blank and the rest of the line
    BLANK_THEN_OPTIONAL_STRING = 5,  // a blank, then end of line or the rest of the line
    OPTIONAL_STRING_TO_END = 6,      // end of line, or the rest of the line
    SITE_WORD = 7,                   // blanks and the SITE word
    NUMBER_THEN_STRING = 8,          // blanks, a number, a blank and a string
    NO_ARGUMENTS = 9,                // end of line only
    END_OF_LINE = 10,                // the line is over
};

// Terminals of the grammar. The X-forms share the terminal of their modern form;
// HELP is one terminal in both tables.
enum Token : std::int16_t {
    END_OF_INPUT = 0,
    // command words
    USER, PASS, ACCT, CWD, CDUP, SMNT, QUIT, REIN, PORT, LPRT, EPRT, PASV, LPSV, EPSV,
    TYPE, STRU, MODE, RETR, STOR, STOU, APPE, ALLO, REST, RNFR, RNTO, ABOR, DELE, RMD, MKD,
    PWD, LIST, NLST, SITE, SYST, STAT, HELP, NOOP, AUTH, ADAT, PROT, PBSZ, CCC, MIC, CONF,
    ENC, FEAT, OPTS, MDTM, SIZE, MLST, MLSD, MAIL, MLFL, MRCP, MRSQ, MSAM, MSND, MSOM,
    // SITE words
    CHMOD, IDLE, RATEGET, RATEPUT, UMASK,
    // argument terminals
    SP, CRLF, COMMA, ALL, NUMBER, STRING,
    LETTER_A, LETTER_B, LETTER_C, LETTER_E, LETTER_F, LETTER_I, LETTER_L, LETTER_N,
    LETTER_P, LETTER_R, LETTER_S, LETTER_T,
};

// One row of a command table.
struct CommandEntry {
    const char* name;    // the command word in upper case; null ends the table
    std::int16_t token;  // terminal returned for the word
    std::int16_t state;  // LexState that reads the rest of the line
    std::int16_t flags;  // 0 not implemented; 2 takes OPTS; 1 and 4 implemented
    const char* help;    // argument synopsis for HELP
    char* options;       // persistent options set by OPTS, owned, or null
};

constexpr std::int16_t command_not_implemented = 0;
constexpr std::int16_t command_takes_options = 2;

extern CommandEntry command_table[];
extern CommandEntry site_table[];

// The row whose name equals `word` without regard to case, or null.
CommandEntry* lookup_command(CommandEntry* table, const char* word);
