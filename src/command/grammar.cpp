// The command grammar: one form per command, driven by the lexer's terminals.
//
// Each form reads its terminals in order, runs its checks and calls its handler.
// A terminal that fits no form is a syntax error: one 500 reply, then the rest of
// the line is dropped up to its CRLF, and the line still counts as a command.
#include "command/grammar.h"

#include <pwd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "command/builtin.h"
#include "command/help.h"
#include "command/lexer.h"
#include "config/class_settings.h"
#include "files/file_commands.h"
#include "files/mlst.h"
#include "login/login_state.h"
#include "login/user.h"
#include "server/control.h"
#include "server/settings.h"
#include "transfer/active.h"
#include "transfer/data_channel.h"
#include "transfer/name_list.h"
#include "transfer/passive.h"
#include "transfer/receive.h"
#include "transfer/send.h"
#include "transfer/status.h"

long long restart_offset = 0;
char* rename_from = nullptr;
int transfer_type = TYPE_A;
int transfer_form = FORM_N;
int structure = STRU_F;
int transfer_mode = MODE_S;

namespace {

// How a form ended.
enum class Outcome {
    plain,     // a plain command: forget the REST offset and the RNFR path
    restart,   // REST or RNFR: their state lives until the next command
    mismatch,  // the lookahead fits no form
};

// The lookahead is fetched only when a form looks at it, so the login check that
// follows a command word runs before the lexer reads any argument.
Token lookahead = END_OF_INPUT;
bool lookahead_fetched = false;

Token peek() {
    if (!lookahead_fetched) {
        lookahead = next_token();
        lookahead_fetched = true;
    }
    return lookahead;
}

void consume() { lookahead_fetched = false; }

// Consume `token` if it is the lookahead.
bool accept(Token token) {
    if (peek() != token) return false;
    consume();
    return true;
}

// Owns a STRING value until the form is done with it; passwords are wiped.
struct OwnedString {
    char* text = nullptr;
    bool secret = false;
    OwnedString() = default;
    OwnedString(const OwnedString&) = delete;
    OwnedString& operator=(const OwnedString&) = delete;
    ~OwnedString() {
        if (text == nullptr) return;
        if (secret) secure_zero(text, 0, std::strlen(text));
        std::free(text);
    }
    void reset(char* new_text) {
        this->~OwnedString();
        text = new_text;
    }
};

bool accept_string(OwnedString& into) {
    if (peek() != STRING) return false;
    into.reset(token_value.string);
    token_value.string = nullptr;
    consume();
    return true;
}

bool accept_number(int& value) {
    if (peek() != NUMBER) return false;
    value = token_value.number;
    consume();
    return true;
}

bool accept_number64(long long& value) {
    if (peek() != NUMBER) return false;
    value = token_value.number64;
    consume();
    return true;
}

// The end of a form: CRLF, then the lexer's end of input, which returns it to
// COMMAND_WORD for the next line.
bool accept_end() {
    if (!accept(CRLF)) return false;
    peek();
    return true;
}

// The empty rule that checks the login right after the command word.
bool login_check() {
    if (login_complete) return true;
    send_reply(530, "Please login with USER and PASS.");
    line_replied = true;
    return false;
}

// A pathname with "~" and "~user" expanded once logged in.
void expand_pathname(OwnedString& path) {
    if (!login_complete || path.text == nullptr || path.text[0] != '~') return;
    char* slash = std::strchr(path.text, '/');
    std::size_t head_length = slash != nullptr ? static_cast<std::size_t>(slash - path.text)
                                               : std::strlen(path.text);
    const char* directory = nullptr;
    if (head_length == 1) {
        directory = login_dir;
    } else {
        char user[command_line_size];
        std::memcpy(user, path.text + 1, head_length - 1);
        user[head_length - 1] = '\0';
        if (passwd* account = getpwnam(user); account != nullptr) directory = account->pw_dir;
    }
    if (directory == nullptr) return;  // no such user: the text stays as written
    std::size_t length = std::strlen(directory) + (slash != nullptr ? std::strlen(slash) : 0);
    char* expanded = static_cast<char*>(std::malloc(length + 1));
    if (expanded == nullptr) fatal_error("Local resource failure: malloc");
    std::strcpy(expanded, directory);
    if (slash != nullptr) std::strcat(expanded, slash);
    path.reset(expanded);
}

bool accept_pathname(OwnedString& path) {
    if (!accept_string(path)) return false;
    expand_pathname(path);
    return true;
}

// Decimal digits read as octal digits; -1 when a digit is 8 or 9.
int octal_value(int decimal) {
    if (decimal < 0) return -1;
    int value = 0;
    int weight = 1;
    for (int rest = decimal; rest > 0; rest /= 10) {
        int digit = rest % 10;
        if (digit > 7) return -1;
        value += digit * weight;
        weight *= 8;
    }
    return value;
}

// `count` NUMBERs separated by COMMAs, appended to `numbers` from `at` on.
bool accept_number_list(int* numbers, int at, int count) {
    for (int i = 0; i < count; ++i) {
        if (i > 0 || at > 0) {
            if (!accept(COMMA)) return false;
        }
        if (!accept_number(numbers[at + i])) return false;
    }
    return true;
}

unsigned char low_byte(int value) { return static_cast<unsigned char>(value & 0xff); }

void set_port_bytes(int high, int low) {
    unsigned char* port = data_channel.active_dest.port_bytes();
    port[0] = low_byte(high);
    port[1] = low_byte(low);
}

void set_ipv4_destination(const int* bytes4, int port_high, int port_low) {
    SocketAddress& dest = data_channel.active_dest;
    dest.clear();
    dest.length = sizeof(sockaddr_in);
    dest.in4.sin_family = AF_INET;
    unsigned char* address = dest.address_bytes();
    for (int i = 0; i < 4; ++i) address[i] = low_byte(bytes4[i]);
    set_port_bytes(port_high, port_low);
}

// --- the forms, one per command terminal -------------------------------------

Outcome form_user() {
    OwnedString name;
    if (!accept(SP) || !accept_string(name) || !accept_end()) return Outcome::mismatch;
    cmd_user(name.text);
    return Outcome::plain;
}

Outcome form_pass() {
    OwnedString password;
    password.secret = true;
    if (!accept(SP)) return Outcome::mismatch;
    accept_string(password);
    if (!accept_end()) return Outcome::mismatch;
    cmd_pass(password.text != nullptr ? password.text : "");
    return Outcome::plain;
}

Outcome form_cwd() {
    bool logged_in = login_check();
    OwnedString path;
    if (accept(SP)) {
        if (!accept_pathname(path)) return Outcome::mismatch;
    }
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_cwd(path.text != nullptr ? path.text : login_dir);
    return Outcome::plain;
}

Outcome form_cdup() {
    bool logged_in = login_check();
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_cwd("..");
    return Outcome::plain;
}

Outcome form_quit() {
    if (!accept_end()) return Outcome::mismatch;
    cmd_quit();
}

Outcome form_port() {
    bool logged_in = login_check();
    int n[6];
    if (!accept(SP) || !accept_number_list(n, 0, 6)) return Outcome::mismatch;
    set_ipv4_destination(n, n[4], n[5]);
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) check_port_command("PORT", AF_INET);
    return Outcome::plain;
}

Outcome form_lprt() {
    bool logged_in = login_check();
    int n[21];
    if (!accept(SP) || !accept_number_list(n, 0, 9)) return Outcome::mismatch;
    SocketAddress& dest = data_channel.active_dest;
    if (peek() == COMMA) {
        if (!accept_number_list(n, 9, 12) || !accept_end()) return Outcome::mismatch;
        // af, hal, 16 address bytes, pal, p1, p2
        dest.clear();
        dest.length = sizeof(sockaddr_in6);
        dest.in6.sin6_family = AF_INET6;
        unsigned char* address = dest.address_bytes();
        for (int i = 0; i < 16; ++i) address[i] = low_byte(n[2 + i]);
        set_port_bytes(n[19], n[20]);
        if (remote_addr.family() == AF_INET6) dest.in6.sin6_scope_id = remote_addr.in6.sin6_scope_id;
        if (n[0] != 6 || n[1] != 16 || n[18] != 2) dest.clear();
        if (logged_in) check_port_command("LPRT", AF_INET6);
        return Outcome::plain;
    }
    if (!accept_end()) return Outcome::mismatch;
    // af, hal, 4 address bytes, pal, p1, p2
    set_ipv4_destination(n + 2, n[7], n[8]);
    if (n[0] != 4 || n[1] != 4 || n[6] != 2) dest.clear();
    if (logged_in) check_port_command("LPRT", AF_INET);
    return Outcome::plain;
}

Outcome form_eprt() {
    bool logged_in = login_check();
    OwnedString argument;
    if (!accept(SP) || !accept_string(argument) || !accept_end()) return Outcome::mismatch;
    if (logged_in && cmd_eprt(argument.text) == 0) check_port_command("EPRT", -1);
    return Outcome::plain;
}

Outcome form_pasv() {
    bool logged_in = login_check();
    if (!accept_end()) return Outcome::mismatch;
    if (!logged_in) return Outcome::plain;
    if (curclass.has(class_flag::passive)) cmd_pasv();
    else send_reply(500, "PASV mode not available.");
    return Outcome::plain;
}

Outcome form_lpsv() {
    bool logged_in = login_check();
    if (!accept_end()) return Outcome::mismatch;
    if (!logged_in) return Outcome::plain;
    if (!curclass.has(class_flag::passive)) send_reply(500, "LPSV mode not available.");
    else if (data_channel.epsv_all != 0) send_reply(501, "LPSV disallowed after EPSV ALL");
    else cmd_long_passive("LPSV", 0);
    return Outcome::plain;
}

Outcome form_epsv() {
    bool logged_in = login_check();
    enum { plain_epsv, with_protocol, all } kind = plain_epsv;
    int protocol = 0;
    if (accept(SP)) {
        if (accept_number(protocol)) kind = with_protocol;
        else if (accept(ALL)) kind = all;
        else return Outcome::mismatch;
    }
    if (!accept_end()) return Outcome::mismatch;
    if (!logged_in) return Outcome::plain;
    if (!curclass.has(class_flag::passive)) {
        send_reply(500, "EPSV mode not available.");
    } else if (kind == all) {
        send_reply(200, "EPSV ALL command successful.");
        ++data_channel.epsv_all;
    } else {
        cmd_long_passive("EPSV", kind == with_protocol ? epsv_proto_to_family(protocol) : 0);
    }
    return Outcome::plain;
}

// Letter terminal to its code in a code rule, 0 when it is not one of `letters`.
int code_of(Token token, const Token* letters, int count) {
    for (int i = 0; i < count; ++i) {
        if (letters[i] == token) return i + 1;
    }
    return 0;
}

// form_code, struct_code and mode_code: one letter of three.
bool accept_code(const Token (&letters)[3], int& code) {
    code = code_of(peek(), letters, 3);
    if (code == 0) return false;
    consume();
    return true;
}

constexpr Token form_letters[3] = {LETTER_N, LETTER_T, LETTER_C};
constexpr Token struct_letters[3] = {LETTER_F, LETTER_R, LETTER_P};
constexpr Token mode_letters[3] = {LETTER_S, LETTER_B, LETTER_C};

Outcome form_type() {
    bool logged_in = login_check();
    TypeRequest request;
    if (!accept(SP)) return Outcome::mismatch;
    if (peek() == LETTER_A || peek() == LETTER_E) {
        request.type = peek() == LETTER_A ? TYPE_A : TYPE_E;
        consume();
        if (accept(SP) && !accept_code(form_letters, request.form)) return Outcome::mismatch;
    } else if (accept(LETTER_I)) {
        request.type = TYPE_I;
    } else if (accept(LETTER_L)) {
        request.type = TYPE_L;
        // "L", "L 8" and "L8"; a blank must be followed by the byte size.
        if (accept(SP) && peek() != NUMBER) return Outcome::mismatch;
        if (peek() == NUMBER) accept_number(request.byte_size);
    } else {
        return Outcome::mismatch;
    }
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_type(request);
    return Outcome::plain;
}

Outcome form_stru() {
    bool logged_in = login_check();
    int code = 0;
    if (!accept(SP) || !accept_code(struct_letters, code) || !accept_end())
        return Outcome::mismatch;
    if (logged_in) cmd_stru(code);
    return Outcome::plain;
}

Outcome form_mode() {
    bool logged_in = login_check();
    int code = 0;
    if (!accept(SP) || !accept_code(mode_letters, code) || !accept_end())
        return Outcome::mismatch;
    if (logged_in) cmd_mode(code);
    return Outcome::plain;
}

Outcome form_retr() {
    bool logged_in = login_check();
    OwnedString path;
    if (!accept(SP) || !accept_pathname(path) || !accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_retr(nullptr, path.text);
    return Outcome::plain;
}

// STOR, STOU and APPE: no login check of their own; check_modify_access has it.
Outcome store_form(const char* mode, bool unique) {
    OwnedString path;
    if (!accept(SP) || !accept_pathname(path) || !accept_end()) return Outcome::mismatch;
    if (check_modify_access(path.text, Permission::upload)) cmd_store(path.text, mode, unique);
    return Outcome::plain;
}
Outcome form_stor() { return store_form("w", false); }
Outcome form_stou() { return store_form("w", true); }
Outcome form_appe() { return store_form("a", false); }

Outcome form_allo() {
    bool logged_in = login_check();
    int size = 0;
    if (!accept(SP) || !accept_number(size)) return Outcome::mismatch;
    if (accept(SP)) {
        int record = 0;
        if (!accept(LETTER_R) || !accept(SP) || !accept_number(record)) return Outcome::mismatch;
    }
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_allo();
    return Outcome::plain;
}

Outcome form_rest() {
    bool logged_in = login_check();
    long long offset = 0;
    if (!accept(SP) || !accept_number64(offset) || !accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_rest(offset);
    return Outcome::restart;
}

Outcome form_rnfr() {
    OwnedString path;
    if (!accept(SP) || !accept_pathname(path) || !accept_end()) return Outcome::mismatch;
    restart_offset = 0;
    if (check_modify_access(path.text, Permission::modify)) {
        std::free(rename_from);
        rename_from = cmd_rnfr(path.text);
    }
    return Outcome::restart;
}

Outcome form_rnto() {
    OwnedString path;
    if (!accept(SP) || !accept_pathname(path) || !accept_end()) return Outcome::mismatch;
    if (check_modify_access(path.text, Permission::modify)) {
        if (rename_from == nullptr) send_reply(503, "Bad sequence of commands.");
        else cmd_rnto(rename_from, path.text);
    }
    return Outcome::plain;
}

Outcome form_abor() {
    bool logged_in = login_check();
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_abor();
    return Outcome::plain;
}

// DELE, RMD and MKD.
Outcome modify_form(void (*handler)(const char*)) {
    OwnedString path;
    if (!accept(SP) || !accept_pathname(path) || !accept_end()) return Outcome::mismatch;
    if (check_modify_access(path.text, Permission::modify)) handler(path.text);
    return Outcome::plain;
}
Outcome form_dele() { return modify_form(cmd_dele); }
Outcome form_rmd() { return modify_form(cmd_rmd); }
Outcome form_mkd() { return modify_form(cmd_mkd); }

Outcome form_pwd() {
    bool logged_in = login_check();
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_pwd();
    return Outcome::plain;
}

Outcome form_list() {
    bool logged_in = login_check();
    OwnedString path;
    if (accept(SP)) {
        if (!accept_pathname(path)) return Outcome::mismatch;
    }
    if (!accept_end()) return Outcome::mismatch;
    if (!logged_in) return Outcome::plain;
    const char* options = curclass.has(class_flag::hidesymlinks) ? "-LlgA" : "-lgA";
    const char* argv[] = {"/bin/ls", options, path.text, nullptr};
    cmd_retr(argv, path.text != nullptr ? path.text : "");
    return Outcome::plain;
}

Outcome form_nlst() {
    bool logged_in = login_check();
    OwnedString path;
    if (accept(SP)) {
        if (!accept_pathname(path)) return Outcome::mismatch;
    }
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) cmd_nlst(path.text != nullptr ? path.text : ".");
    return Outcome::plain;
}

// SITE SP word ...: extra blanks before the word are taken as one.
Outcome form_site() {
    if (!accept(SP)) return Outcome::mismatch;
    while (accept(SP)) {
    }
    Token word = peek();
    if (word != HELP && word != CHMOD && word != IDLE && word != RATEGET && word != RATEPUT &&
        word != UMASK)
        return Outcome::mismatch;
    consume();
    switch (word) {
        case HELP: {
            OwnedString topic;
            if (accept(SP) && !accept_string(topic)) return Outcome::mismatch;
            if (!accept_end()) return Outcome::mismatch;
            cmd_help(site_table, topic.text);
            return Outcome::plain;
        }
        case CHMOD: {
            int mode = 0;
            OwnedString path;
            if (!accept(SP) || !accept_number(mode) || !accept(SP) || !accept_pathname(path) ||
                !accept_end())
                return Outcome::mismatch;
            cmd_site_chmod(octal_value(mode), path.text);
            return Outcome::plain;
        }
        case IDLE: {
            bool logged_in = login_check();
            int seconds = 0;
            bool given = false;
            if (accept(SP)) {
                if (!accept_number(seconds)) return Outcome::mismatch;
                given = true;
            }
            if (!accept_end()) return Outcome::mismatch;
            if (logged_in) cmd_site_idle(given, seconds);
            return Outcome::plain;
        }
        case RATEGET:
        case RATEPUT: {
            bool logged_in = login_check();
            OwnedString rate;
            if (accept(SP) && !accept_string(rate)) return Outcome::mismatch;
            if (!accept_end()) return Outcome::mismatch;
            if (logged_in) cmd_site_rate(word == RATEGET, rate.text);
            return Outcome::plain;
        }
        case UMASK: {
            bool logged_in = login_check();
            int mask = 0;
            bool given = false;
            if (accept(SP)) {
                if (!accept_number(mask)) return Outcome::mismatch;
                given = true;
            }
            if (!accept_end()) return Outcome::mismatch;
            if (logged_in) cmd_site_umask(given, octal_value(mask));
            return Outcome::plain;
        }
        default:
            return Outcome::mismatch;
    }
}

Outcome form_syst() {
    if (!accept_end()) return Outcome::mismatch;
    cmd_syst();
    return Outcome::plain;
}

Outcome form_stat() {
    if (accept(SP)) {
        bool logged_in = login_check();
        OwnedString path;
        if (!accept_pathname(path) || !accept_end()) return Outcome::mismatch;
        if (logged_in) cmd_stat_file(path.text);
        return Outcome::plain;
    }
    if (!accept_end()) return Outcome::mismatch;
    cmd_stat_server();
    return Outcome::plain;
}

Outcome form_help() {
    OwnedString topic;
    if (accept(SP) && !accept_string(topic)) return Outcome::mismatch;
    if (!accept_end()) return Outcome::mismatch;
    if (topic.text == nullptr) {
        cmd_help(command_table, nullptr);
    } else if (strncasecmp(topic.text, "SITE", 4) == 0) {
        const char* rest = topic.text + 4;
        if (*rest == ' ') ++rest;
        cmd_help(site_table, *rest != '\0' ? rest : nullptr);
    } else {
        cmd_help(command_table, topic.text);
    }
    return Outcome::plain;
}

Outcome form_noop() {
    if (!accept_end()) return Outcome::mismatch;
    cmd_noop();
    return Outcome::plain;
}

// AUTH, ADAT, PROT, MIC, CONF and ENC take a string, PBSZ a number, CCC nothing;
// all of them are refused the same way whatever the argument.
Outcome security_form(Token command) {
    if (command != CCC) {
        if (!accept(SP)) return Outcome::mismatch;
        int number = 0;
        OwnedString text;
        bool taken = command == PBSZ ? accept_number(number) : accept_string(text);
        if (!taken) return Outcome::mismatch;
    }
    if (!accept_end()) return Outcome::mismatch;
    cmd_security(command);
    return Outcome::plain;
}
Outcome form_auth() { return security_form(AUTH); }
Outcome form_adat() { return security_form(ADAT); }
Outcome form_prot() { return security_form(PROT); }
Outcome form_pbsz() { return security_form(PBSZ); }
Outcome form_ccc() { return security_form(CCC); }
Outcome form_mic() { return security_form(MIC); }
Outcome form_conf() { return security_form(CONF); }
Outcome form_enc() { return security_form(ENC); }

Outcome form_feat() {
    if (!accept_end()) return Outcome::mismatch;
    cmd_feat();
    return Outcome::plain;
}

Outcome form_opts() {
    OwnedString argument;
    if (!accept(SP) || !accept_string(argument) || !accept_end()) return Outcome::mismatch;
    cmd_opts(argument.text);
    return Outcome::plain;
}

// SIZE and MDTM: a path is required.
Outcome path_form(void (*handler)(const char*)) {
    bool logged_in = login_check();
    OwnedString path;
    if (!accept(SP) || !accept_pathname(path) || !accept_end()) return Outcome::mismatch;
    if (logged_in) handler(path.text);
    return Outcome::plain;
}
Outcome form_size() { return path_form(cmd_size); }
Outcome form_mdtm() { return path_form(cmd_mdtm); }

// MLST and MLSD: the path is optional.
Outcome optional_path_form(void (*handler)(const char*)) {
    bool logged_in = login_check();
    OwnedString path;
    if (accept(SP)) {
        if (!accept_pathname(path)) return Outcome::mismatch;
    }
    if (!accept_end()) return Outcome::mismatch;
    if (logged_in) handler(path.text);
    return Outcome::plain;
}
Outcome form_mlst() { return optional_path_form(cmd_mlst); }
Outcome form_mlsd() { return optional_path_form(cmd_mlsd); }

struct GrammarForm {
    Token command;
    Outcome (*parse)();
};

constexpr GrammarForm grammar_forms[] = {
    {.command = USER, .parse = form_user}, {.command = PASS, .parse = form_pass},
    {.command = CWD, .parse = form_cwd},   {.command = CDUP, .parse = form_cdup},
    {.command = QUIT, .parse = form_quit}, {.command = PORT, .parse = form_port},
    {.command = LPRT, .parse = form_lprt}, {.command = EPRT, .parse = form_eprt},
    {.command = PASV, .parse = form_pasv}, {.command = LPSV, .parse = form_lpsv},
    {.command = EPSV, .parse = form_epsv}, {.command = TYPE, .parse = form_type},
    {.command = STRU, .parse = form_stru}, {.command = MODE, .parse = form_mode},
    {.command = RETR, .parse = form_retr}, {.command = STOR, .parse = form_stor},
    {.command = STOU, .parse = form_stou}, {.command = APPE, .parse = form_appe},
    {.command = ALLO, .parse = form_allo}, {.command = REST, .parse = form_rest},
    {.command = RNFR, .parse = form_rnfr}, {.command = RNTO, .parse = form_rnto},
    {.command = ABOR, .parse = form_abor}, {.command = DELE, .parse = form_dele},
    {.command = RMD, .parse = form_rmd},   {.command = MKD, .parse = form_mkd},
    {.command = PWD, .parse = form_pwd},   {.command = LIST, .parse = form_list},
    {.command = NLST, .parse = form_nlst}, {.command = SITE, .parse = form_site},
    {.command = SYST, .parse = form_syst}, {.command = STAT, .parse = form_stat},
    {.command = HELP, .parse = form_help}, {.command = NOOP, .parse = form_noop},
    {.command = AUTH, .parse = form_auth}, {.command = ADAT, .parse = form_adat},
    {.command = PROT, .parse = form_prot}, {.command = PBSZ, .parse = form_pbsz},
    {.command = CCC, .parse = form_ccc},   {.command = MIC, .parse = form_mic},
    {.command = CONF, .parse = form_conf}, {.command = ENC, .parse = form_enc},
    {.command = FEAT, .parse = form_feat}, {.command = OPTS, .parse = form_opts},
    {.command = MDTM, .parse = form_mdtm}, {.command = SIZE, .parse = form_size},
    {.command = MLST, .parse = form_mlst}, {.command = MLSD, .parse = form_mlsd},
};

void forget_carry_over() {
    std::free(rename_from);
    rename_from = nullptr;
    restart_offset = 0;
}

// Drop terminals up to the line's CRLF. True when it was reached; false when the
// lexer ended the line itself.
bool skip_to_line_end() {
    while (peek() != CRLF && peek() != END_OF_INPUT) {
        if (peek() == STRING) {
            std::free(token_value.string);
            token_value.string = nullptr;
        }
        consume();
    }
    return accept_end();
}

}  // namespace

int parse_command() {
    lexer_state = COMMAND_WORD;
    consume();
    Token command = peek();
    Outcome outcome = Outcome::mismatch;
    for (const GrammarForm& form : grammar_forms) {
        if (form.command == command) {
            consume();
            outcome = form.parse();
            break;
        }
    }
    switch (outcome) {
        case Outcome::plain:
            forget_carry_over();
            return 0;
        case Outcome::restart:
            return 0;
        case Outcome::mismatch:
            break;
    }
    // The lexer has already answered and ended the line: give it up as it stands.
    if (peek() == END_OF_INPUT) {
        lexer_state = COMMAND_WORD;
        return 1;
    }
    reply_not_understood();
    if (!skip_to_line_end()) {
        lexer_state = COMMAND_WORD;
        return 1;
    }
    forget_carry_over();
    return 0;
}

bool check_modify_access(const char* name, Permission permission) {
    if (name == nullptr) return false;
    if (!login_complete) {
        send_reply(530, "Please login with USER and PASS.");
        return false;
    }
    std::uint32_t needed = permission == Permission::upload ? class_flag::upload : class_flag::modify;
    if (!curclass.has(needed)) {
        send_reply(502, "No permission to use this command.");
        return false;
    }
    if (name[0] == '\0' || !curclass.has(class_flag::sanenames)) return true;
    bool sane = name[0] != '.';
    for (const char* p = name; sane && *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        sane = (c < 128 && std::isalnum(c)) || std::strchr("+,-._", c) != nullptr;
    }
    if (!sane) {
        send_reply(553, "File name `%s' not allowed.", name);
        return false;
    }
    return true;
}
