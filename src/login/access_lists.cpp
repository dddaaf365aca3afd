// The access lists: matching a user, the user's groups and the client against
// the lines of ftpusers or ftpchroot.
#include "login/access_lists.h"

#include <fnmatch.h>
#include <grp.h>
#include <strings.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/class_settings.h"
#include "config/line_reader.h"
#include "login/login_state.h"
#include "platform/network_notation.h"
#include "platform/unique_resources.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

constexpr int first_group_room = 16;
// getgrouplist reports the room it needs, so a second call normally succeeds; the
// bound only guards against a group database that keeps growing under us.
constexpr int group_list_attempts = 8;
constexpr std::size_t network_buffer_size = 16;
constexpr int bits_per_byte = 8;

// Mask byte `index` of a prefix of `bits` bits.
unsigned char mask_byte(int bits, std::size_t index) {
    int left = bits - static_cast<int>(index) * bits_per_byte;
    if (left >= bits_per_byte) return 0xff;
    if (left <= 0) return 0;
    return static_cast<unsigned char>(0xff << (bits_per_byte - left));
}

// The host part as a network of the client's family, else as a case-insensitive
// glob on the client's name. Host bits written in the network are compared as
// written, so "10.1.2.3/8" matches nobody.
bool host_matches(const char* host) {
    int family = remote_addr.family();
    std::size_t address_length = family == AF_INET ? 4 : family == AF_INET6 ? 16 : 0;
    unsigned char network[network_buffer_size] = {};
    int bits = address_length > 0 ? parse_network(family, host, network, address_length) : -1;
    if (bits < 0 || bits > static_cast<int>(address_length) * bits_per_byte) {
        return fnmatch(host, client_name, FNM_CASEFOLD) == 0;
    }
    const unsigned char* address = remote_addr.address_bytes();
    for (std::size_t i = 0; i < address_length; ++i) {
        if ((address[i] & mask_byte(bits, i)) != network[i]) return false;
    }
    return true;
}

struct GroupList {
    gid_t* groups = nullptr;
    int count = 0;
    GroupList() = default;
    GroupList(const GroupList&) = delete;
    GroupList& operator=(const GroupList&) = delete;
    ~GroupList() { std::free(groups); }

    void resize(int room) {
        auto* bigger = static_cast<gid_t*>(
            std::realloc(groups, static_cast<std::size_t>(room) * sizeof(gid_t)));
        if (bigger == nullptr) fatal_error("Local resource failure: realloc");
        groups = bigger;
        count = room;
    }
};

// Whether one of the groups of user_account (its primary group included) has a
// name matching `pattern`.
bool group_matches(const char* pattern) {
    if (user_account == nullptr) return false;
    GroupList list;
    list.resize(first_group_room);
    bool listed = false;
    for (int attempt = 0; attempt < group_list_attempts && !listed; ++attempt) {
        int room = list.count;
        if (getgrouplist(user_account->pw_name, user_account->pw_gid, list.groups, &room) >= 0) {
            list.count = room;
            listed = true;
        } else {
            list.resize(room > list.count ? room : list.count * 2);
        }
    }
    if (!listed) return false;
    for (int i = 0; i < list.count; ++i) {
        const group* entry = getgrgid(list.groups[i]);
        if (entry != nullptr && fnmatch(pattern, entry->gr_name, 0) == 0) return true;
    }
    return false;
}

struct PermissionWord {
    const char* word;
    int result;
};
constexpr PermissionWord permission_words[] = {
    {.word = "allow", .result = 1},
    {.word = "yes", .result = 1},
    {.word = "deny", .result = 0},
    {.word = "no", .result = 0},
};

int permission_result(const char* word, int default_result) {
    if (word != nullptr) {
        for (const PermissionWord& entry : permission_words) {
            if (strcasecmp(word, entry.word) == 0) return entry.result;
        }
    }
    return default_result != 0 ? 0 : 1;
}

bool is_reserved_class(const char* word) {
    return strcasecmp(word, "all") == 0 || strcasecmp(word, "none") == 0;
}

}  // namespace

int check_access_file(const char* file_name, const char* name, int default_result, char** class_out) {
    if (class_out != nullptr) *class_out = nullptr;
    UniqueFile file(std::fopen(config_file_path(file_name), "r"));
    if (file == nullptr) return 0;  // no list: nobody logs in, nobody is confined

    int line_number = 0;
    while (UniqueCString text{read_logical_line(file.get(), nullptr, &line_number, nullptr,
                                                unescape_standard)}) {
        char* cursor = text.get();
        char* pattern = split_word(&cursor);
        const char* permission = split_word(&cursor);
        const char* class_word = split_word(&cursor);
        if (pattern == nullptr) continue;
        // Reported before any matching, so a bad line shows up at every check.
        if (class_word != nullptr && is_reserved_class(class_word)) {
            log_message(LOG_WARNING, "%s line %d: illegal user-defined class `%s' - skipping entry",
                        file_name, line_number, class_word);
            continue;
        }
        char* host = std::strchr(pattern, '@');
        if (host != nullptr) *host++ = '\0';
        char* group_part = std::strchr(pattern, ':');
        if (group_part != nullptr) *group_part++ = '\0';

        if (host != nullptr && !host_matches(host)) continue;
        if (group_part != nullptr && !group_matches(group_part)) continue;
        if (fnmatch(pattern, name, 0) != 0) continue;

        if (class_word != nullptr && class_out != nullptr) *class_out = strdup_or_die(class_word);
        return permission_result(permission, default_result);
    }
    return default_result;
}

int is_permitted_user(const char* name) { return check_access_file("ftpusers", name, 1, nullptr); }
