// Check mode (-C user[@host]): answers through the exit status whether the
// ftpusers file lets a user log in from a host, without any connection.
#include "login/check_mode.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "login/access_lists.h"
#include "login/login_state.h"
#include "platform/unique_resources.h"
#include "server/control.h"
#include "server/settings.h"

namespace {

// The host becomes the client: its name for host globs, its address, when it is a
// numeric one, for networks.
void set_client(const char* host) {
    std::snprintf(client_name, sizeof client_name, "%s", host);
    if (inet_pton(AF_INET, client_name, &remote_addr.in4.sin_addr) == 1) {
        remote_addr.in4.sin_family = AF_INET;
        remote_addr.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, client_name, &remote_addr.in6.sin6_addr) == 1) {
        remote_addr.in6.sin6_family = AF_INET6;
        remote_addr.length = sizeof(sockaddr_in6);
    } else {
        remote_addr.clear();  // AF_UNSPEC: only host-name globs can match
    }
}

}  // namespace

void run_check_mode(const char* argument) {
    UniqueCString user(strdup_or_die(argument));
    char* at = std::strchr(user.get(), '@');
    if (at != nullptr) {
        *at = '\0';
        set_client(at + 1);
    }
    user_account = copy_passwd_entry(user.get());
    int permitted = is_permitted_user(user.get());
    end_session(permitted != 0 ? 0 : 1);
}
