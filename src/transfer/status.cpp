// STAT without an argument: the 211 report on the server, the client, the login,
// the transfer parameters, the data connection, the counters and the class.
#include "transfer/status.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

#include "command/grammar.h"
#include "config/class_settings.h"
#include "login/connection_count.h"
#include "login/login_state.h"
#include "server/control.h"
#include "server/settings.h"
#include "transfer/active.h"
#include "transfer/counters.h"
#include "transfer/data_channel.h"

namespace {

constexpr std::size_t numeric_host_size = 1025;
constexpr std::size_t numeric_service_size = 32;
constexpr std::size_t advertise_text_size = 50;
// The long-address commands give the port as this many bytes.
constexpr int port_byte_count = 2;
// TYPE L is always shown with its byte size.
constexpr int local_byte_size = 8;

const char* plural(long long count) { return count == 1 ? "" : "s"; }

bool is_set(const char* text) { return text != nullptr && text[0] != '\0'; }

// Names of the transfer parameters, indexed by their numeric value minus one.
constexpr const char* type_names[] = {"ASCII", "EBCDIC", "Image", "Local"};
constexpr const char* form_names[] = {"Nonprint", "Telnet", "Carriage-control"};
constexpr const char* structure_names[] = {"File", "Record", "Page"};
constexpr const char* mode_names[] = {"Stream", "Block", "Compressed"};

template <std::size_t N>
const char* name_of(const char* const (&names)[N], int value) {
    if (value < 1 || static_cast<std::size_t>(value) > N) return "<unknown>";
    return names[value - 1];
}

void write_transfer_parameters() {
    counted_printf(control_out, "    TYPE: %s", name_of(type_names, transfer_type));
    if (transfer_type == TYPE_A || transfer_type == TYPE_E)
        counted_printf(control_out, ", FORM: %s", name_of(form_names, transfer_form));
    if (transfer_type == TYPE_L) counted_printf(control_out, " %d", local_byte_size);
    counted_printf(control_out, "; STRUcture: %s; transfer MODE: %s\r\n",
                   name_of(structure_names, structure), name_of(mode_names, transfer_mode));
}

void write_client() {
    char numeric[numeric_host_size];
    if (getnameinfo(&remote_addr.sa, remote_addr.length, numeric, sizeof numeric, nullptr, 0,
                    NI_NUMERICHOST) == 0 &&
        std::strcmp(numeric, client_name) != 0) {
        send_reply(0, "Connected to %s (%s)", client_name, numeric);
    } else {
        send_reply(0, "Connected to %s", client_name);
    }
}

void write_login() {
    if (!login_complete) {
        send_reply(0, "%s", awaiting_password ? "Waiting for password" : "Waiting for user name");
        return;
    }
    if (curclass.type == GUEST) {
        send_reply(0, "Logged in anonymously");
        return;
    }
    const char* name = user_account != nullptr ? user_account->pw_name : login_name;
    send_reply(0, "Logged in as %s%s", name != nullptr ? name : "",
               curclass.type == CHROOT ? " (chroot)" : "");
}

// The labels of the three address lines; a null label leaves its line out.
struct AddressLabels {
    const char* port_form;  // PORT/PASV: IPv4 as six numbers
    const char* long_form;  // LPRT/LPSV: family, length, bytes, port
    const char* extended;   // EPRT/EPSV: protocol, host and port texts
};

void write_address_lines(const SocketAddress& address, const AddressLabels& labels) {
    const int family = address.family();
    if (family != AF_INET && family != AF_INET6) return;
    const unsigned char* a = address.address_bytes();
    const unsigned char* p = address.port_bytes();
    if (labels.port_form != nullptr && family == AF_INET) {
        send_reply(0, "%s (%d,%d,%d,%d,%d,%d)", labels.port_form, a[0], a[1], a[2], a[3], p[0],
                   p[1]);
    }
    if (labels.long_form != nullptr) {
        const int byte_count = family == AF_INET ? 4 : 16;
        counted_printf(control_out, "    %s (%d,%d", labels.long_form, family == AF_INET ? 4 : 6,
                       byte_count);
        for (int i = 0; i < byte_count; ++i) counted_printf(control_out, ",%d", a[i]);
        counted_printf(control_out, ",%d,%d,%d)\r\n", port_byte_count, p[0], p[1]);
    }
    if (labels.extended != nullptr) {
        SocketAddress copy = address;
        copy.length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (family == AF_INET6) copy.in6.sin6_scope_id = 0;
        char host[numeric_host_size];
        char service[numeric_service_size];
        if (getnameinfo(&copy.sa, copy.length, host, sizeof host, service, sizeof service,
                        NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            send_reply(0, "%s (|%d|%s|%s|)", labels.extended, family_to_epsv_proto(family), host,
                       service);
        }
    }
}

void write_data_connection() {
    const DataChannel& channel = data_channel;
    if (channel.pasv_fd != -1) {
        send_reply(0, "in Passive mode");
        // Clients are told the advertised address, but always the port we bound.
        SocketAddress shown =
            curclass.advertise.length != 0 ? curclass.advertise : channel.passive_addr;
        shown.set_port(channel.passive_addr.port());
        write_address_lines(shown, {.port_form = "PASV", .long_form = "LPSV", .extended = "EPSV"});
    } else if (channel.use_default_dest) {
        send_reply(0, "No data connection");
    } else if (channel.epsv_all != 0) {
        send_reply(0, "EPSV only mode (EPSV ALL)");
        write_address_lines(channel.active_dest,
                            {.port_form = nullptr, .long_form = nullptr, .extended = "EPRT"});
    } else {
        write_address_lines(channel.active_dest,
                            {.port_form = "PORT", .long_form = "LPRT", .extended = "EPRT"});
    }
}

void write_counter_line(const char* label, long long bytes, long long count, const char* unit) {
    send_reply(0, "%s %lld byte%s in %lld %s%s", label, bytes, plural(bytes), count, unit,
               plural(count));
}

void write_counters() {
    const TransferCounters& c = transfer_counters;
    if (login_complete) {
        write_counter_line("Data sent:       ", c.data_bytes_sent, c.data_files_sent, "file");
        write_counter_line("Data received:   ", c.data_bytes_received, c.data_files_received,
                           "file");
        write_counter_line("Total data:      ", c.data_bytes_total, c.data_files_total, "file");
    }
    // Each line is counted as it is sent, so later lines include the earlier ones.
    write_counter_line("Traffic sent:    ", c.traffic_bytes_sent, c.transfers_sent, "transfer");
    write_counter_line("Traffic received:", c.traffic_bytes_received, c.transfers_received,
                       "transfer");
    write_counter_line("Total traffic:   ", c.traffic_bytes_total, c.transfers_total, "transfer");
}

// One line of the class settings. `write` decides how the row's fields become the
// line; the rows that only differ in label and field share a writer.
struct ClassLine {
    void (*write)(const ClassLine&);
    const char* label = nullptr;                 // text before ": "
    std::uint32_t flag = 0;                      // for "%sabled" rows
    char* ClassSettings::*text = nullptr;        // for text rows
    bool config_path = false;                    // text is a file name under config_dir
    bool empty_shown = false;                    // an empty text still gets its line
    long long ClassSettings::*number = nullptr;  // for number rows
    long long special_value = 0;                 // the value that is shown as `special_text`
    const char* special_text = nullptr;
    const char* unit = "";                       // after the number
};

void write_flag(const ClassLine& row) {
    send_reply(0, "%s: %sabled", row.label, curclass.has(row.flag) ? "en" : "dis");
}

void write_text(const ClassLine& row) {
    const char* value = curclass.*row.text;
    if (value == nullptr || (!row.empty_shown && value[0] == '\0')) return;
    send_reply(0, "%s: %s", row.label, row.config_path ? config_file_path(value) : value);
}

void write_number(const ClassLine& row) {
    long long value = curclass.*row.number;
    if (value == row.special_value) send_reply(0, "%s: %s", row.label, row.special_text);
    else send_reply(0, "%s: %lld%s", row.label, value, row.unit);
}

void write_blank(const ClassLine&) { send_reply(0, "%s", ""); }

void write_class(const ClassLine&) {
    const char* type = "<unknown>";
    if (curclass.type == GUEST) type = "GUEST";
    else if (curclass.type == CHROOT) type = "CHROOT";
    else if (curclass.type == REAL) type = "REAL";
    send_reply(0, "Class: %s, type: %s", curclass.classname != nullptr ? curclass.classname : "",
               type);
}

void write_timeouts(const ClassLine&) {
    send_reply(0, "Idle timeout: %lld, maximum timeout: %lld", curclass.timeout,
               curclass.maxtimeout);
}

void write_connections(const ClassLine&) {
    send_reply(0, "Current connections: %d", class_connections);
}

void write_advertise(const ClassLine&) {
    const SocketAddress& address = curclass.advertise;
    if (address.length == 0) return;
    char text[advertise_text_size];
    if (inet_ntop(address.family(), address.address_bytes(), text, sizeof text) == nullptr) return;
    send_reply(0, "PASV advertise address: %s", text);
}

void write_port_range(const ClassLine&) {
    if (curclass.portmin == 0 || curclass.portmax == 0) return;
    send_reply(0, "PASV port range: %lld - %lld", curclass.portmin, curclass.portmax);
}

void write_umask(const ClassLine&) {
    send_reply(0, "Umask: %.04o", static_cast<unsigned>(curclass.umask));
}

using S = ClassSettings;
namespace flag = class_flag;

constexpr ClassLine class_lines[] = {
    {.write = write_blank},
    {.write = write_class},
    {.write = write_flag, .label = "Check PORT/LPRT commands", .flag = flag::checkportcmd},
    {.write = write_text, .label = "Display file", .text = &S::display},
    {.write = write_text, .label = "Notify fileglob", .text = &S::notify},
    {.write = write_timeouts},
    {.write = write_connections},
    {.write = write_number, .label = "Maximum connections", .number = &S::limit,
     .special_value = -1, .special_text = "unlimited"},
    {.write = write_text, .label = "Connection limit exceeded message file", .text = &S::limitfile,
     .config_path = true, .empty_shown = true},
    {.write = write_text, .label = "Chroot format", .text = &S::chroot},
    {.write = write_flag, .label = "Deny bad ftpusers(5) quickly", .flag = flag::denyquick},
    {.write = write_text, .label = "Homedir format", .text = &S::homedir},
    {.write = write_number, .label = "Maximum file size", .number = &S::maxfilesize,
     .special_value = -1, .special_text = "unlimited"},
    {.write = write_text, .label = "MotD file", .text = &S::motd, .config_path = true},
    {.write = write_flag, .label = "Modify commands (CHMOD, DELE, MKD, RMD, RNFR, UMASK)",
     .flag = flag::modify},
    {.write = write_flag, .label = "Upload commands (APPE, STOR, STOU)", .flag = flag::upload},
    {.write = write_flag, .label = "Sanitize file names", .flag = flag::sanenames},
    {.write = write_flag, .label = "PASV/LPSV/EPSV connections", .flag = flag::passive},
    {.write = write_advertise},
    {.write = write_port_range},
    {.write = write_number, .label = "Rate get limit", .number = &S::rateget,
     .special_text = "disabled", .unit = " bytes/sec"},
    {.write = write_number, .label = "Rate put limit", .number = &S::rateput,
     .special_text = "disabled", .unit = " bytes/sec"},
    {.write = write_number, .label = "Mmap size", .number = &S::mmapsize,
     .special_text = "disabled"},
    {.write = write_number, .label = "Read size", .number = &S::readsize,
     .special_text = "default"},
    {.write = write_number, .label = "Write size", .number = &S::writesize,
     .special_text = "default"},
    {.write = write_number, .label = "Receive buffer size", .number = &S::recvbufsize,
     .special_text = "default"},
    {.write = write_number, .label = "Send buffer size", .number = &S::sendbufsize,
     .special_text = "default"},
    {.write = write_number, .label = "Send low water mark", .number = &S::sendlowat,
     .special_text = "default"},
    {.write = write_umask},
};

void write_class_settings() {
    for (const ClassLine& row : class_lines) row.write(row);
    for (const ConversionRule* rule = curclass.conversions; rule != nullptr; rule = rule->next) {
        if (rule->suffix == nullptr || rule->types == nullptr || rule->command == nullptr)
            continue;
        // The configuration reader always gives a rule with a command its disable
        // path; a rule built otherwise must not print a null.
        send_reply(0, "Conversion: %s [%s] disable: %s, command: %s", rule->suffix, rule->types,
                   rule->disable != nullptr ? rule->disable : "", rule->command);
    }
}

}  // namespace

void cmd_stat_server() {
    send_reply(-211, "%s FTP server status:", server_name);
    if (is_set(version_string)) send_reply(0, "Version: %s", version_string);
    else send_reply(0, "<suppressed>");
    write_client();
    write_login();
    write_transfer_parameters();
    write_data_connection();
    write_counters();
    if (login_complete && !curclass.has(class_flag::private_)) write_class_settings();
    send_reply(211, "End of status");
}
