// Message files: the welcome file, nologin, the message of the day, limit files.
#include "config/messages.h"

#include <cstdio>
#include <cstdlib>

#include "login/login_state.h"
#include "server/control.h"

int display_message_file(const char* path, int code) {
    if (path == nullptr || path[0] == '\0' || messages_suppressed) return 0;
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;
    send_reply(-code, "%s", "");
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length = 0;
    while ((length = getline(&line, &capacity, file)) >= 0) {
        if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
        counted_printf(control_out, "    %s\r\n", line);
    }
    std::free(line);
    std::fflush(control_out);
    std::fclose(file);
    return 1;
}
