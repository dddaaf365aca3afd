// PAM authentication. The conversation talks to the FTP client itself: it sends
// the 331 reply for the one hidden prompt and reads the client's PASS line.
#include "login/pam_auth.h"

#include <security/pam_appl.h>
#include <syslog.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "config/class_settings.h"
#include "login/login_state.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

constexpr const char* pam_service = "wharfd";
constexpr int most_messages = 32;
constexpr std::size_t prompt_word_size = 512;

pam_handle_t* pam_transaction = nullptr;

struct ConversationData {
    const char* user_name;  // login_name
    int prompt_answered;    // the hidden prompt has been answered
};

ConversationData conversation_data;

// "Password: " → "password"; "Enter PIN: " → "enter PIN"; "" → "password".
void make_prompt_word(const char* message, char* word, std::size_t size) {
    std::snprintf(word, size, "%s", message != nullptr ? message : "");
    if (std::isupper(static_cast<unsigned char>(word[0])))
        word[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(word[0])));
    std::size_t length = std::strlen(word);
    while (length > 0 && (word[length - 1] == ':' ||
                          std::isspace(static_cast<unsigned char>(word[length - 1])))) {
        word[--length] = '\0';
    }
    if (length == 0) std::snprintf(word, size, "password");
}

// Ask the client for the hidden answer. Returns a copy of the password the caller
// owns, or null when the conversation fails.
char* ask_for_password(const ConversationData* data, const char* message) {
    char word[prompt_word_size];
    make_prompt_word(message, word, sizeof word);
    send_reply(331, "User %s accepted, provide %s.", data->user_name, word);

    char line[command_line_size];
    arm_alarm(curclass.timeout);
    int result = read_command_line(line, command_read_size, control_in);
    arm_alarm(0);
    if (result == -2) {
        send_reply(-530, "Command too long.");
        return nullptr;
    }
    if (result == -1) {
        send_reply(221, "You could at least say goodbye.");
        end_session(0);
    }
    if (strncasecmp(line, "PASS ", 5) != 0) {
        log_message(LOG_ERR, "auth_conv: unexpected reply '%.4s'", line);
        send_reply(-530, "Unexpected reply '%.4s'.", line);
        secure_zero(line, 0, sizeof line);
        return nullptr;
    }
    std::size_t length = std::strlen(line);
    while (length > 5 && (line[length - 1] == '\r' || line[length - 1] == '\n')) line[--length] = '\0';
    char* password = strdup_or_die(line + 5);
    secure_zero(line, 0, sizeof line);
    return password;
}

void free_responses(pam_response* responses, int count) {
    for (int i = 0; i < count; ++i) {
        if (responses[i].resp == nullptr) continue;
        secure_zero(responses[i].resp, 0, std::strlen(responses[i].resp));
        std::free(responses[i].resp);
    }
    std::free(responses);
}

int auth_conv(int count, const pam_message** messages, pam_response** responses_out,
              void* appdata) {
    auto* data = static_cast<ConversationData*>(appdata);
    if (count < 1 || count > most_messages) return PAM_CONV_ERR;
    auto* responses = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count),
                                                             sizeof(pam_response)));
    if (responses == nullptr) return PAM_BUF_ERR;
    bool failed = false;
    for (int i = 0; i < count && !failed; ++i) {
        switch (messages[i]->msg_style) {
            case PAM_ERROR_MSG:
            case PAM_TEXT_INFO:
                break;
            case PAM_PROMPT_ECHO_ON:
                responses[i].resp = strdup_or_die(data->user_name);
                break;
            case PAM_PROMPT_ECHO_OFF:
                if (data->prompt_answered != 0) {
                    log_message(LOG_ERR, "auth_conv: already performed PAM_PROMPT_ECHO_OFF");
                    failed = true;
                    break;
                }
                data->prompt_answered = 1;
                responses[i].resp = ask_for_password(data, messages[i]->msg);
                failed = responses[i].resp == nullptr;
                break;
            default:
                failed = true;
                break;
        }
    }
    if (failed) {
        free_responses(responses, count);
        *responses_out = nullptr;
        return PAM_CONV_ERR;
    }
    *responses_out = responses;
    return PAM_SUCCESS;
}

void end_pam(int status) {
    int end_status = pam_end(pam_transaction, status);
    if (end_status != PAM_SUCCESS)
        log_message(LOG_ERR, "pam_end: %s", pam_strerror(pam_transaction, end_status));
    pam_transaction = nullptr;
}

// The account PAM settled on becomes the session's account. A PAM user without a
// local account leaves no account at all, and the login is refused: the session
// must run as the account PAM vouched for, never as the name the client typed.
void adopt_pam_user() {
    const void* item = nullptr;
    int status = pam_get_item(pam_transaction, PAM_USER, &item);
    if (status != PAM_SUCCESS) {
        log_message(LOG_ERR, "Couldn't get PAM_USER: %s", pam_strerror(pam_transaction, status));
        return;
    }
    const auto* pam_user = static_cast<const char*>(item);
    if (pam_user == nullptr) return;
    if (user_account != nullptr && std::strcmp(pam_user, user_account->pw_name) == 0) return;
    passwd* account = copy_passwd_entry(pam_user);
    if (account == nullptr) {
        log_message(LOG_NOTICE, "auth_pam: PAM user '%s' has no local account", pam_user);
        user_account = nullptr;
        return;
    }
    if (debug_logging)
        log_message(LOG_DEBUG, "auth_pam: PAM changed user from '%s' to '%s'", login_name,
                    account->pw_name);
    user_account = account;
    std::snprintf(login_name, login_name_size, "%s", account->pw_name);
}

}  // namespace

int auth_pam() {
    conversation_data = ConversationData{.user_name = login_name, .prompt_answered = 0};
    pam_conv conversation{.conv = auth_conv, .appdata_ptr = &conversation_data};
    int status = pam_start(pam_service, login_name, &conversation, &pam_transaction);
    if (status != PAM_SUCCESS) {
        log_message(LOG_ERR, "pam_start: %s", pam_strerror(pam_transaction, status));
        pam_transaction = nullptr;
        return -1;
    }
    status = pam_set_item(pam_transaction, PAM_RHOST, client_name);
    if (status != PAM_SUCCESS) {
        log_message(LOG_ERR, "pam_set_item(PAM_RHOST): %s", pam_strerror(pam_transaction, status));
        end_pam(status);
        return -1;
    }
    status = pam_authenticate(pam_transaction, 0);
    if (debug_logging)
        log_message(LOG_DEBUG, "pam_authenticate: user '%s' returned %d", login_name, status);
    int result = -1;
    switch (status) {
        case PAM_SUCCESS:
            adopt_pam_user();
            if (user_account == nullptr) {
                result = 1;  // no local account to run the session as
                break;
            }
            status = pam_acct_mgmt(pam_transaction, 0);
            if (status == PAM_SUCCESS) return 0;
            log_message(LOG_ERR, "pam_acct_mgmt: %s", pam_strerror(pam_transaction, status));
            result = 1;
            break;
        case PAM_MAXTRIES:
        case PAM_AUTH_ERR:
        case PAM_USER_UNKNOWN:
            result = 1;
            break;
        default:
            log_message(LOG_ERR, "pam_authenticate: %s", pam_strerror(pam_transaction, status));
            result = -1;
            break;
    }
    end_pam(status);
    return result;
}

void open_pam_session() {
    if (pam_transaction == nullptr) return;
    int status = pam_open_session(pam_transaction, 0);
    if (status != PAM_SUCCESS) {
        log_message(LOG_ERR, "pam_open_session: %s", pam_strerror(pam_transaction, status));
        return;
    }
    status = pam_setcred(pam_transaction, PAM_ESTABLISH_CRED);
    if (status != PAM_SUCCESS) log_message(LOG_ERR, "pam_setcred: %s", pam_strerror(pam_transaction, status));
}

void close_pam_session() {
    if (pam_transaction == nullptr) return;
    int status = pam_setcred(pam_transaction, PAM_DELETE_CRED);
    if (status != PAM_SUCCESS) log_message(LOG_ERR, "pam_setcred: %s", pam_strerror(pam_transaction, status));
    status = pam_close_session(pam_transaction, 0);
    if (status != PAM_SUCCESS)
        log_message(LOG_ERR, "pam_close_session: %s", pam_strerror(pam_transaction, status));
    end_pam(status);
}
