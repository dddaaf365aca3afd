// The lexer: a small state machine over the one line in command_line.
#include "command/lexer.h"

#include <bsd/unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "server/control.h"
#include "server/settings.h"

LexState lexer_state = COMMAND_WORD;
std::size_t lexer_position = 0;
bool line_replied = false;
TokenValue token_value;

namespace {

// Letters and digits of the single-byte character set; bytes above 127 are neither.
bool is_alnum_byte(char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 128 && std::isalnum(u) != 0;
}
bool is_digit_byte(char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 128 && std::isdigit(u) != 0;
}

// The 32-bit value of a run of digits, truncated the way the C library's atoi does
// it (strtol, then the low 32 bits), without undefined behaviour on overflow.
int digits_to_int(const char* digits) {
    errno = 0;
    unsigned long long wide = std::strtoull(digits, nullptr, 10);
    return static_cast<int>(static_cast<unsigned int>(wide & 0xffffffffULL));
}

long long digits_to_long_long(const char* digits) {
    errno = 0;
    return std::strtoll(digits, nullptr, 10);
}

// Terminal for a single argument character, or END_OF_INPUT when it has none.
Token letter_token(char c) {
    switch (std::toupper(static_cast<unsigned char>(c))) {
        case 'A': return LETTER_A;
        case 'B': return LETTER_B;
        case 'C': return LETTER_C;
        case 'E': return LETTER_E;
        case 'F': return LETTER_F;
        case 'I': return LETTER_I;
        case 'L': return LETTER_L;
        case 'N': return LETTER_N;
        case 'P': return LETTER_P;
        case 'R': return LETTER_R;
        case 'S': return LETTER_S;
        case 'T': return LETTER_T;
        default: return END_OF_INPUT;
    }
}

Token lexer_error() {
    reply_not_understood();
    lexer_state = COMMAND_WORD;
    return END_OF_INPUT;
}

Token advance(Token token, std::size_t characters) {
    lexer_position += characters;
    return token;
}

// A NUMBER from the digits at the position, with both values when `wide` is set.
Token number_token(bool wide) {
    const char* start = command_line + lexer_position;
    std::size_t length = std::strspn(start, "0123456789");
    char digits[command_line_size];
    std::memcpy(digits, start, length);
    digits[length] = '\0';
    token_value.number = digits_to_int(digits);
    if (wide) token_value.number64 = digits_to_long_long(digits);
    return advance(NUMBER, length);
}

// The text from the position to the end of the line as a STRING.
Token string_to_end() {
    const char* start = command_line + lexer_position;
    std::size_t length = std::strlen(start);
    if (length < 2 || start[length - 1] != '\n') return lexer_error();
    char* copy = strdup_or_die(start);
    copy[length - 1] = '\0';
    token_value.string = copy;
    lexer_position += length - 1;
    lexer_state = ARGUMENT_TOKENS;
    return STRING;
}

Token end_of_line() {
    lexer_state = END_OF_LINE;
    return advance(CRLF, 1);
}

// Lower-case-insensitive comparison of the line's first four characters.
bool line_starts_with(const char* word) {
    return strncasecmp(command_line, word, std::strlen(word)) == 0;
}

Token command_word() {
    line_replied = false;
    if (char* cr = std::strchr(command_line, '\r'); cr != nullptr) {
        // The title shows what the session does, but never a password or account.
        if (!line_starts_with("PASS") && !line_starts_with("ACCT")) {
            setproctitle("%s: %.*s", proctitle_prefix, static_cast<int>(cr - command_line),
                         command_line);
        }
        cr[0] = '\n';
        cr[1] = '\0';
    }
    char word[command_line_size];
    std::size_t end = std::strcspn(command_line, " \n");
    if (end == 0 && command_line[0] != '\0') {
        // The line starts with a blank or a line feed: look at its first four
        // characters as they stand.
        std::size_t length = std::min<std::size_t>(4, std::strlen(command_line));
        std::memcpy(word, command_line, length);
        word[length] = '\0';
    } else {
        // A last line without blank or line feed ends its word at the end of the line.
        std::memcpy(word, command_line, end);
        word[end] = '\0';
    }
    lexer_position = end;
    const CommandEntry* row = lookup_command(command_table, word);
    if (row == nullptr) return lexer_error();
    if (row->flags == command_not_implemented) {
        send_reply(502, "%s command not implemented.", row->name);
        line_replied = true;
        return lexer_error();
    }
    lexer_state = static_cast<LexState>(row->state);
    token_value.name = row->name;
    return static_cast<Token>(row->token);
}

Token argument_token() {
    char c = command_line[lexer_position];
    if (is_digit_byte(c)) return number_token(true);
    const char* here = command_line + lexer_position;
    if (strncasecmp(here, "ALL", 3) == 0 && std::strlen(here) >= 3 && !is_alnum_byte(here[3]))
        return advance(ALL, 3);
    switch (c) {
        case '\n': return end_of_line();
        case ' ': return advance(SP, 1);
        case ',': return advance(COMMA, 1);
        default: break;
    }
    Token letter = letter_token(c);
    if (letter == END_OF_INPUT || c == '\0') return lexer_error();
    return advance(letter, 1);
}

Token site_word() {
    if (command_line[lexer_position] == ' ') return advance(SP, 1);
    const char* start = command_line + lexer_position;
    std::size_t length = std::strcspn(start, " \n");
    char word[command_line_size];
    if (start[length] == '\0') length = 0;  // neither blank nor line feed: no word
    std::memcpy(word, start, length);
    word[length] = '\0';
    lexer_position += length;
    const CommandEntry* row = lookup_command(site_table, word);
    if (row == nullptr) return lexer_error();
    if (row->flags == command_not_implemented) {
        send_reply(502, "SITE %s command not implemented.", row->name);
        line_replied = true;
        return lexer_error();
    }
    lexer_state = static_cast<LexState>(row->state);
    token_value.name = row->name;
    return static_cast<Token>(row->token);
}

}  // namespace

void reply_not_understood() {
    if (line_replied) return;
    if (char* lf = std::strchr(command_line, '\n'); lf != nullptr) *lf = '\0';
    send_reply(500, "'%s': command not understood.", command_line);
    line_replied = true;
}

Token next_token() {
    char c = command_line[lexer_position];
    switch (lexer_state) {
        case COMMAND_WORD:
            return command_word();
        case ARGUMENT_TOKENS:
            return argument_token();
        case BLANK_THEN_STRING:
        case BLANK_THEN_OPTIONAL_STRING:
            if (c != ' ') return lexer_error();
            lexer_state = lexer_state == BLANK_THEN_STRING ? STRING_TO_END : OPTIONAL_STRING_TO_END;
            return advance(SP, 1);
        case STRING_TO_END:
            return string_to_end();
        case OPTIONAL_BLANK_STRING:
            if (c == '\n') return end_of_line();
            if (c != ' ') return lexer_error();
            lexer_state = STRING_TO_END;
            return advance(SP, 1);
        case OPTIONAL_STRING_TO_END:
            if (c == '\n') return end_of_line();
            return string_to_end();
        case SITE_WORD:
            return site_word();
        case NUMBER_THEN_STRING:
            if (c == ' ') return advance(SP, 1);
            if (!is_digit_byte(c)) return lexer_error();
            lexer_state = BLANK_THEN_STRING;
            return number_token(false);
        case NO_ARGUMENTS:
            if (c == '\n') return end_of_line();
            send_reply(501, "'%.*s' command does not take any arguments.",
                       static_cast<int>(lexer_position), command_line);
            line_replied = true;
            return lexer_error();
        case END_OF_LINE:
            lexer_state = COMMAND_WORD;
            return END_OF_INPUT;
    }
    fatal_error("Unknown state in scanner.");
}
