// Reading wharfd.conf for one class, and the paths of the files in the
// configuration directory.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/class_settings.h"
#include "config/directives.h"
#include "config/line_reader.h"
#include "platform/unique_resources.h"
#include "server/control.h"
#include "server/settings.h"

namespace {

constexpr std::size_t config_path_size = 1024;
constexpr const char* config_file_name = "wharfd.conf";

// Whether a line for `class_field` applies while loading `class_name`.
bool line_applies(const char* class_field, const char* class_name, const char* template_class) {
    return strcasecmp(class_field, class_name) == 0 ||
           (template_class != nullptr && strcasecmp(class_field, template_class) == 0) ||
           strcasecmp(class_field, "all") == 0 || strcasecmp(class_field, "none") == 0;
}

}  // namespace

const char* config_file_path(const char* name) {
    static char path[config_path_size];
    if (name[0] == '/') {
        std::snprintf(path, sizeof path, "%s", name);
    } else {
        const char* directory = config_dir != nullptr && config_dir[0] != '\0' ? config_dir
                                                                              : default_config_dir;
        std::snprintf(path, sizeof path, "%s/%s", directory, name);
    }
    return path;
}

void load_config(const char* class_name) {
    if (class_name == nullptr) class_name = "";
    reset_class();
    curclass.classname = strdup_or_die(class_name);
    // Guests get a safe start whatever the file says or whether it exists.
    if (strcasecmp(class_name, "guest") == 0) {
        curclass.flags &= ~class_flag::modify;
        curclass.umask = 0707;
    }

    // Our own copy: the shared path buffer may be reused by a directive.
    char path[config_path_size];
    std::snprintf(path, sizeof path, "%s", config_file_path(config_file_name));
    UniqueFile file(std::fopen(path, "r"));
    if (file == nullptr) return;

    char* template_class = nullptr;
    int line_number = 0;
    while (UniqueCString text{read_logical_line(file.get(), nullptr, &line_number, nullptr,
                                                unescape_standard)}) {
        char* cursor = text.get();
        std::size_t length = std::strlen(cursor);
        if (length > 0 && cursor[length - 1] == '\n') cursor[length - 1] = '\0';
        const char* word = split_word(&cursor);
        const char* class_field = split_word(&cursor);
        if (word == nullptr || class_field == nullptr) continue;
        if (!line_applies(class_field, class_name, template_class)) continue;
        DirectiveLine line;
        line.path = path;
        line.line_number = line_number;
        line.word = word;
        line.none = strcasecmp(class_field, "none") == 0;
        line.argument = split_word(&cursor);
        line.rest = line.argument != nullptr ? cursor : nullptr;
        line.template_class = &template_class;
        apply_directive(line);
    }
    std::free(template_class);
}
