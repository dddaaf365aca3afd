// The wharfd.conf directives: one table row per directive with its field, parser
// and range, and the parsers that apply an applying line to curclass.
#include "config/directives.h"

#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "config/class_settings.h"
#include "config/line_reader.h"
#include "config/size_number.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

constexpr std::size_t number_message_size = 100;
constexpr std::size_t warning_text_size = 1024;
constexpr long long no_limit = LLONG_MAX;
constexpr long long lowest_port = 1024;
constexpr long long highest_port = 65535;
constexpr long long socket_size_max = 2147483647;
constexpr long long shortest_timeout = 30;

// One end of a number range: `value`, or, when `field` is set, the current value
// of that field of curclass but no more than `value` (ranges that follow other
// directives: timeout up to maxtimeout, maxtimeout from the smaller of 30 and timeout).
struct Bound {
    long long value = 0;
    long long ClassSettings::*field = nullptr;

    long long current() const {
        if (field == nullptr) return value;
        long long now = curclass.*field;
        return now < value ? now : value;
    }
};

struct Directive;
using DirectiveParser = void (*)(const Directive&, DirectiveLine&);

// Everything about one directive. Fields a parser does not use stay empty.
struct Directive {
    const char* name;                                   // directive word, compared without case
    DirectiveParser parse;                              // applies one line
    std::uint32_t flag = 0;                             // on/off: the bit of curclass.flags
    std::uint32_t also_off = 0;                         // on/off: bits switched off with it
    char* ClassSettings::*text = nullptr;               // string field
    long long ClassSettings::*number = nullptr;         // number field
    long long ClassSettings::*second_number = nullptr;  // field that gets the same value
    long long default_value = 0;                        // value before the argument applies
    Bound minimum{};
    Bound maximum{no_limit};
};

void warn(const DirectiveLine& line, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Configuration problems are logged with the file and line and never stop the reading.
void warn(const DirectiveLine& line, const char* format, ...) {
    char text[warning_text_size];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    log_message(LOG_WARNING, "%s line %d: %s", line.path, line.line_number, text);
}

bool is_empty(const char* text) { return text == nullptr || text[0] == '\0'; }

// The argument a directive applies: none on a "none" line or when it is missing.
const char* argument_of(const DirectiveLine& line) {
    return line.none || is_empty(line.argument) ? nullptr : line.argument;
}

void replace_string(char*& field, const char* value) {
    std::free(field);
    field = value != nullptr ? strdup_or_die(value) : nullptr;
}

// parse_size_number with the directive's message on failure.
bool parse_number(const DirectiveLine& line, const char* description, const char* text,
                  long long minimum, long long maximum, long long& value) {
    char message[number_message_size];
    value = parse_size_number(description, text, minimum, maximum, message, sizeof message);
    if (message[0] == '\0') return true;
    warn(line, "%s", message);
    return false;
}

// Only "off" (or a "none" line) switches off; on, yes, no and nothing switch on.
void parse_flag(const Directive& directive, DirectiveLine& line) {
    bool off = line.none || (line.argument != nullptr && strcasecmp(line.argument, "off") == 0);
    if (off) curclass.flags &= ~(directive.flag | directive.also_off);
    else curclass.flags |= directive.flag;
}

void parse_string(const Directive& directive, DirectiveLine& line) {
    replace_string(curclass.*directive.text, argument_of(line));
}

void parse_size(const Directive& directive, DirectiveLine& line) {
    curclass.*directive.number = directive.default_value;
    if (directive.second_number != nullptr) curclass.*directive.second_number = directive.default_value;
    const char* argument = argument_of(line);
    long long value = 0;
    if (argument == nullptr || !parse_number(line, directive.name, argument, directive.minimum.current(),
                                             directive.maximum.current(), value)) {
        return;
    }
    curclass.*directive.number = value;
    if (directive.second_number != nullptr) curclass.*directive.second_number = value;
}

struct ClassTypeWord {
    const char* word;
    ClassType type;
};
constexpr ClassTypeWord class_type_words[] = {
    {.word = "GUEST", .type = GUEST},
    {.word = "CHROOT", .type = CHROOT},
    {.word = "REAL", .type = REAL},
};

void parse_classtype(const Directive&, DirectiveLine& line) {
    const char* argument = argument_of(line);
    if (argument == nullptr) return;
    for (const ClassTypeWord& entry : class_type_words) {
        if (strcasecmp(argument, entry.word) == 0) {
            curclass.type = entry.type;
            return;
        }
    }
    warn(line, "unknown class type `%s'", argument);
}

// conversion <class> <suffix> <types> <disable> <command...>. A "none" line keeps
// the suffix's rule in the list but makes it inert.
void parse_conversion(const Directive&, DirectiveLine& line) {
    if (is_empty(line.argument)) {
        warn(line, "%s requires a suffix", line.word);
        return;
    }
    char* cursor = line.rest;
    const char* types = split_word(&cursor);
    const char* disable = split_word(&cursor);
    const char* command = cursor != nullptr ? cursor + std::strspn(cursor, " \t") : nullptr;
    if (line.none || is_empty(types) || is_empty(disable) || is_empty(command)) {
        types = disable = command = nullptr;
    }
    ConversionRule** link = &curclass.conversions;
    while (*link != nullptr && std::strcmp((*link)->suffix, line.argument) != 0) link = &(*link)->next;
    if (*link == nullptr) {
        *link = new (std::nothrow) ConversionRule;
        if (*link == nullptr) {
            log_message(LOG_WARNING, "can't malloc");
            return;
        }
    }
    ConversionRule& rule = **link;
    replace_string(rule.suffix, line.argument);
    replace_string(rule.types, types);
    replace_string(rule.disable, disable);
    replace_string(rule.command, command);
}

// limit <class> <count> [<file>]: the file is the rest of the line, blanks and all.
void parse_limit(const Directive& directive, DirectiveLine& line) {
    curclass.*directive.number = directive.default_value;
    replace_string(curclass.*directive.text, nullptr);
    const char* argument = argument_of(line);
    long long count = 0;
    if (argument == nullptr || !parse_number(line, directive.name, argument, directive.minimum.current(),
                                             directive.maximum.current(), count)) {
        return;
    }
    curclass.*directive.number = count;
    if (!is_empty(line.rest)) replace_string(curclass.*directive.text, line.rest);
}

// portrange <class> <min> <max>: max is the whole rest of the line, so anything
// after it makes it an illegal number. Both ports stay 0 on any error.
void parse_portrange(const Directive& directive, DirectiveLine& line) {
    curclass.*directive.number = directive.default_value;
    curclass.*directive.second_number = directive.default_value;
    const char* argument = argument_of(line);
    if (argument == nullptr) return;
    if (is_empty(line.rest)) {
        warn(line, "missing maxport argument");
        return;
    }
    long long minimum = directive.minimum.current();
    long long maximum = directive.maximum.current();
    long long low = 0;
    long long high = 0;
    if (!parse_number(line, "minport", argument, minimum, maximum, low)) return;
    if (!parse_number(line, "maxport", line.rest, minimum, maximum, high)) return;
    if (low >= high) {
        warn(line, "minport %lld >= maxport %lld", low, high);
        return;
    }
    curclass.*directive.number = low;
    curclass.*directive.second_number = high;
}

// From the next line on, lines for the template class apply as well.
void parse_template(const Directive&, DirectiveLine& line) {
    if (line.none) return;
    replace_string(*line.template_class, is_empty(line.argument) ? nullptr : line.argument);
}

void parse_umask(const Directive& directive, DirectiveLine& line) {
    curclass.umask = static_cast<mode_t>(directive.default_value);
    const char* argument = argument_of(line);
    if (argument == nullptr) return;
    errno = 0;
    char* end = nullptr;
    unsigned long mode = std::strtoul(argument, &end, 8);
    if (end == argument || *end != '\0' || errno != 0 ||
        mode > static_cast<unsigned long>(directive.maximum.value)) {
        warn(line, "invalid umask %s", argument);
        return;
    }
    curclass.umask = static_cast<mode_t>(mode);
}

struct AddressListFreer {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// The host is resolved in the address family of the control connection, so the
// announced address is one the client can reach over the same protocol.
void parse_advertise(const Directive&, DirectiveLine& line) {
    curclass.advertise.clear();
    const char* argument = argument_of(line);
    if (argument == nullptr) return;
    addrinfo hints{};
    hints.ai_family = local_addr.family();
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int error = getaddrinfo(argument, "0", &hints, &found);
    if (error != 0) {
        warn(line, "%s", gai_strerror(error));
        return;
    }
    std::unique_ptr<addrinfo, AddressListFreer> owner(found);
    if (found->ai_next != nullptr) {
        warn(line, "multiple addresses returned for `%s'; please be more specific", argument);
        return;
    }
    if ((found->ai_family != AF_INET && found->ai_family != AF_INET6) ||
        found->ai_addrlen > sizeof(sockaddr_in6)) {
        warn(line, "unsupported protocol %d for `%s'", found->ai_family, argument);
        return;
    }
    std::memcpy(&curclass.advertise.storage, found->ai_addr, found->ai_addrlen);
    curclass.advertise.length = found->ai_addrlen;
}

using S = ClassSettings;
namespace flag = class_flag;

constexpr Directive directives[] = {
    {.name = "advertise", .parse = parse_advertise},
    {.name = "advertize", .parse = parse_advertise},
    {.name = "checkportcmd", .parse = parse_flag, .flag = flag::checkportcmd},
    {.name = "chroot", .parse = parse_string, .text = &S::chroot},
    {.name = "classtype", .parse = parse_classtype},
    {.name = "conversion", .parse = parse_conversion},
    {.name = "denyquick", .parse = parse_flag, .flag = flag::denyquick},
    {.name = "display", .parse = parse_string, .text = &S::display},
    {.name = "hidesymlinks", .parse = parse_flag, .flag = flag::hidesymlinks},
    {.name = "homedir", .parse = parse_string, .text = &S::homedir},
    {.name = "limit", .parse = parse_limit, .text = &S::limitfile, .number = &S::limit,
     .default_value = -1, .minimum = {.value = -1}},
    {.name = "maxfilesize", .parse = parse_size, .number = &S::maxfilesize, .default_value = -1,
     .minimum = {.value = -1}},
    {.name = "maxtimeout", .parse = parse_size, .number = &S::maxtimeout, .default_value = 7200,
     .minimum = {.value = shortest_timeout, .field = &S::timeout}},
    {.name = "mmapsize", .parse = parse_size, .number = &S::mmapsize},
    {.name = "modify", .parse = parse_flag, .flag = flag::modify},
    {.name = "motd", .parse = parse_string, .text = &S::motd},
    {.name = "notify", .parse = parse_string, .text = &S::notify},
    {.name = "passive", .parse = parse_flag, .flag = flag::passive},
    {.name = "portrange", .parse = parse_portrange, .number = &S::portmin, .second_number = &S::portmax,
     .minimum = {.value = lowest_port}, .maximum = {.value = highest_port}},
    {.name = "private", .parse = parse_flag, .flag = flag::private_},
    {.name = "rateget", .parse = parse_size, .number = &S::rateget, .second_number = &S::maxrateget},
    {.name = "rateput", .parse = parse_size, .number = &S::rateput, .second_number = &S::maxrateput},
    {.name = "readsize", .parse = parse_size, .number = &S::readsize},
    {.name = "recvbufsize", .parse = parse_size, .number = &S::recvbufsize,
     .maximum = {.value = socket_size_max}},
    {.name = "sanenames", .parse = parse_flag, .flag = flag::sanenames},
    {.name = "sendbufsize", .parse = parse_size, .number = &S::sendbufsize,
     .maximum = {.value = socket_size_max}},
    {.name = "sendlowat", .parse = parse_size, .number = &S::sendlowat,
     .maximum = {.value = socket_size_max}},
    {.name = "template", .parse = parse_template},
    {.name = "timeout", .parse = parse_size, .number = &S::timeout, .default_value = 900,
     .minimum = {.value = shortest_timeout}, .maximum = {.value = no_limit, .field = &S::maxtimeout}},
    {.name = "umask", .parse = parse_umask, .default_value = 027, .maximum = {.value = 0777}},
    {.name = "upload", .parse = parse_flag, .flag = flag::upload, .also_off = flag::modify},
    {.name = "writesize", .parse = parse_size, .number = &S::writesize},
};

}  // namespace

void apply_directive(DirectiveLine& line) {
    for (const Directive& directive : directives) {
        if (strcasecmp(line.word, directive.name) == 0) {
            directive.parse(directive, line);
            return;
        }
    }
    warn(line, "unknown directive '%s'", line.word);
}
