// Replies that carry the description of a failed system call.
#include "transfer/errno_reply.h"

#include <cerrno>
#include <cstring>

#include "server/control.h"

void reply_with_errno(int code, const char* text) {
    int saved = errno;
    send_reply(code, "%s: %s.", text, std::strerror(saved));
    errno = saved;
}

bool fail_transfer(int code, const char* text) {
    int saved = errno;
    arm_alarm(0);
    errno = saved;
    reply_with_errno(code, text);
    return false;
}
