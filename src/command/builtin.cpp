// The commands the grammar carries out itself.
#include "command/builtin.h"

#include <sys/stat.h>
#include <syslog.h>

#include <climits>
#include <cstdlib>
#include <ctime>

#include "config/class_settings.h"
#include "config/size_number.h"
#include "login/login_state.h"
#include "server/control.h"
#include "server/settings.h"
#include "transfer/counters.h"
#include "transfer/errno_reply.h"

namespace {

// "s" after a count unless the count is exactly 1.
const char* plural(long long count) { return count == 1 ? "" : "s"; }

bool has_version() { return version_string != nullptr && version_string[0] != '\0'; }

constexpr int max_file_mode = 0777;
constexpr long long min_idle_seconds = 30;
constexpr std::size_t rate_error_size = 100;

struct SecurityRefusal {
    Token command;
    int code;
    const char* text;
};

constexpr SecurityRefusal security_refusals[] = {
    {.command = AUTH, .code = 502, .text = "RFC 2228 authentication not implemented."},
    {.command = MIC, .code = 502, .text = "RFC 2228 authentication not implemented."},
    {.command = CONF, .code = 502, .text = "RFC 2228 authentication not implemented."},
    {.command = ENC, .code = 502, .text = "RFC 2228 authentication not implemented."},
    {.command = ADAT, .code = 503, .text = "Please set authentication state with AUTH."},
    {.command = PBSZ, .code = 503, .text = "Please set authentication state with AUTH."},
    {.command = PROT, .code = 503, .text = "Please set protection buffer size with PBSZ."},
    {.command = CCC, .code = 533, .text = "No protection enabled."},
};

}  // namespace

void cmd_type(const TypeRequest& request) {
    switch (request.type) {
        case TYPE_A:
            if (request.form != FORM_N) {
                send_reply(504, "Form must be N.");
                return;
            }
            transfer_type = TYPE_A;
            transfer_form = FORM_N;
            send_reply(200, "Type set to A.");
            return;
        case TYPE_E:
            send_reply(504, "Type E not implemented.");
            return;
        case TYPE_I:
            transfer_type = TYPE_I;
            send_reply(200, "Type set to I.");
            return;
        case TYPE_L:
            if (request.byte_size != 8) {
                send_reply(504, "Byte size must be 8.");
                return;
            }
            transfer_type = TYPE_L;
            send_reply(200, "Type set to L (byte size 8).");
            return;
        default:
            send_reply(504, "Type E not implemented.");
            return;
    }
}

void cmd_stru(int structure_code) {
    if (structure_code == STRU_F) send_reply(200, "STRU F ok.");
    else send_reply(504, "Unimplemented STRU type.");
}

void cmd_mode(int mode_code) {
    if (mode_code == MODE_S) send_reply(200, "MODE S ok.");
    else send_reply(502, "Unimplemented MODE type.");
}

void cmd_allo() { send_reply(202, "ALLO command ignored."); }

void cmd_rest(long long offset) {
    std::free(rename_from);
    rename_from = nullptr;
    restart_offset = offset;
    send_reply(350, "Restarting at %lld. Send STORE or RETRIEVE to initiate transfer.",
               restart_offset);
}

void cmd_abor() { send_reply(225, "ABOR command successful."); }

void cmd_noop() { send_reply(200, "NOOP command successful."); }

void cmd_syst() {
    if (has_version()) send_reply(215, "UNIX Type: L%d Version: %s", 8, version_string);
    else send_reply(215, "UNIX Type: L%d", 8);
}

void cmd_quit() {
    const TransferCounters& c = transfer_counters;
    if (login_complete) {
        send_reply(-221, "%s", "");
        send_reply(0, "Data traffic for this session was %lld byte%s in %lld file%s.",
                   c.data_bytes_total, plural(c.data_bytes_total), c.data_files_total,
                   plural(c.data_files_total));
        send_reply(0, "Total traffic for this session was %lld byte%s in %lld transfer%s.",
                   c.traffic_bytes_total, plural(c.traffic_bytes_total), c.transfers_total,
                   plural(c.transfers_total));
    }
    send_reply(221, "Thank you for using the FTP service on %s.", server_name);
    if (login_complete && logging_level > 0) {
        syslog(LOG_INFO, "Data traffic: %lld byte%s in %lld file%s", c.data_bytes_total,
               plural(c.data_bytes_total), c.data_files_total, plural(c.data_files_total));
        syslog(LOG_INFO, "Total traffic: %lld byte%s in %lld transfer%s", c.traffic_bytes_total,
               plural(c.traffic_bytes_total), c.transfers_total, plural(c.transfers_total));
    }
    end_session(0);
}

void cmd_mdtm(const char* path) {
    struct stat st {};
    if (stat(path, &st) < 0) {
        reply_with_errno(550, path);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        send_reply(550, "%s: not a plain file.", path);
        return;
    }
    struct tm utc {};
    gmtime_r(&st.st_mtime, &utc);
    send_reply(213, "%04d%02d%02d%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
               utc.tm_hour, utc.tm_min, utc.tm_sec);
}

void cmd_site_chmod(int mode, const char* path) {
    if (!check_modify_access(path, Permission::modify)) return;
    if (mode == -1 || mode > max_file_mode) {
        send_reply(501, "CHMOD: Mode value must be between 0 and 0777");
        return;
    }
    if (chmod(path, static_cast<mode_t>(mode)) < 0) {
        reply_with_errno(550, path);
        return;
    }
    send_reply(200, "CHMOD command successful.");
}

void cmd_site_umask(bool given, int mask) {
    if (!given) {
        mode_t current = umask(0);
        umask(current);
        send_reply(200, "Current UMASK is %03o", static_cast<unsigned>(current));
        return;
    }
    if (!check_modify_access("", Permission::modify)) return;
    if (mask == -1 || mask > max_file_mode) {
        send_reply(501, "Bad UMASK value");
        return;
    }
    mode_t previous = umask(static_cast<mode_t>(mask));
    send_reply(200, "UMASK set to %03o (was %03o)", static_cast<unsigned>(mask),
               static_cast<unsigned>(previous));
}

void cmd_site_idle(bool given, int seconds) {
    if (!given) {
        send_reply(200, "Current IDLE time limit is %lld seconds; max %lld", curclass.timeout,
                   curclass.maxtimeout);
        return;
    }
    if (seconds < min_idle_seconds || seconds > curclass.maxtimeout) {
        send_reply(501, "IDLE time limit must be between 30 and %lld seconds",
                   curclass.maxtimeout);
        return;
    }
    curclass.timeout = seconds;
    arm_alarm(curclass.timeout);
    send_reply(200, "IDLE time limit set to %lld seconds", curclass.timeout);
}

void cmd_site_rate(bool get, const char* rate) {
    const char* name = get ? "RATEGET" : "RATEPUT";
    long long& current = get ? curclass.rateget : curclass.rateput;
    if (rate == nullptr) {
        send_reply(200, "Current %s is %lld bytes/sec", name, current);
        return;
    }
    long long bound = get ? curclass.maxrateget : curclass.maxrateput;
    if (bound == 0) bound = LLONG_MAX;
    char error[rate_error_size];
    long long value = parse_size_number(name, rate, 0, bound, error, sizeof error);
    if (error[0] != '\0') {
        send_reply(501, "%s", error);
        return;
    }
    current = value;
    send_reply(200, "%s set to %lld bytes/sec", name, current);
}

void cmd_security(Token command) {
    for (const SecurityRefusal& refusal : security_refusals) {
        if (refusal.command == command) {
            send_reply(refusal.code, "%s", refusal.text);
            return;
        }
    }
}
