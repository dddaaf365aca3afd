// On-the-fly conversions: which rule of the class serves a missing name, and the
// argument vector of its command.
#include "config/conversions.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/class_settings.h"
#include "config/line_reader.h"
#include "server/control.h"
#include "server/log.h"

namespace {

constexpr std::size_t base_name_size = 1024;

// The requested name without the suffix of the rule being tried; every call
// overwrites it.
char base_name[base_name_size];

// The command pipe expands every argument with glob (braces, tilde, wildcards).
// The base name is a file name, not a pattern: its special characters are quoted
// so that the command receives the very file the rule checked.
constexpr const char* glob_special = "\\*?[]{}~";

// The argument that names the base file. A name beginning with "-" gets "./" in
// front, so the command can never take it for one of its options.
std::string base_name_argument() {
    std::string argument;
    if (base_name[0] == '-') argument = "./";
    for (const char* p = base_name; *p != '\0'; ++p) {
        if (std::strchr(glob_special, *p) != nullptr) argument.push_back('\\');
        argument.push_back(*p);
    }
    return argument;
}

// Whether `types` names the kind of file `st` describes: "d" directories, "f"
// regular files; other letters mean nothing.
bool type_applies(const char* types, const struct stat& st) {
    for (const char* t = types; *t != '\0'; ++t) {
        if (*t == 'd' && S_ISDIR(st.st_mode)) return true;
        if (*t == 'f' && S_ISREG(st.st_mode)) return true;
    }
    return false;
}

// Whether `rule` serves `name`; on success base_name holds the name without the
// suffix.
bool rule_applies(const ConversionRule& rule, const char* name) {
    if (rule.suffix == nullptr) {
        log_message(LOG_WARNING, "cp->suffix==NULL in conv list; SHOULDN'T HAPPEN!");
        return false;
    }
    std::size_t name_length = std::strlen(name);
    std::size_t suffix_length = std::strlen(rule.suffix);
    if (name_length >= base_name_size || name_length <= suffix_length) return false;
    std::memcpy(base_name, name, name_length + 1);
    std::size_t base_length = name_length - suffix_length;
    if (std::strcmp(base_name + base_length, rule.suffix) != 0) return false;
    base_name[base_length] = '\0';
    // A "conversion <suffix> none" line of the class leaves the rule inert.
    if (rule.types == nullptr || rule.disable == nullptr || rule.command == nullptr) return false;
    struct stat st {};
    if (std::strcmp(rule.disable, ".") != 0 && stat(rule.disable, &st) == 0) return false;
    if (stat(base_name, &st) < 0) return false;
    return type_applies(rule.types, st);
}

// The pieces of a null-terminated vector being built; released unless taken.
struct Pieces {
    char** vector = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;

    ~Pieces() { free_conversion_argv(vector); }

    // Append `piece` (owned from now on) and keep the vector null-terminated;
    // false when the vector cannot grow (the piece is then released).
    bool add(char* piece) {
        if (count + 2 > capacity) {
            std::size_t grown = capacity == 0 ? 8 : capacity * 2;
            auto* bigger = static_cast<char**>(std::realloc(vector, grown * sizeof(char*)));
            if (bigger == nullptr) {
                std::free(piece);
                return false;
            }
            vector = bigger;
            capacity = grown;
        }
        vector[count++] = piece;
        vector[count] = nullptr;
        return true;
    }

    char** take() {
        char** taken = vector;
        vector = nullptr;
        return taken;
    }
};

// Split the rule's command at blanks and tabs, a word "%s" standing for the base
// name; null when the vector cannot be allocated.
char** build_vector(const char* command) {
    char* copy = strdup_or_die(command);
    Pieces pieces;
    bool complete = true;
    char* cursor = copy;
    for (char* word = split_word(&cursor); word != nullptr; word = split_word(&cursor)) {
        // Only a whole word is replaced: "--stdout=%s" stays as it is written.
        char* piece = std::strcmp(word, "%s") == 0 ? strdup_or_die(base_name_argument().c_str())
                                                   : strdup_or_die(word);
        if (!pieces.add(piece)) {
            complete = false;
            break;
        }
    }
    std::free(copy);
    // A command of blanks only would give a vector without a program.
    if (!complete || pieces.count == 0) return nullptr;
    return pieces.take();
}

}  // namespace

char** find_conversion(const char* path) {
    int saved_errno = errno;
    char** vector = nullptr;
    // The first rule in the order of the configuration file wins, not the longest
    // suffix.
    for (const ConversionRule* rule = curclass.conversions; rule != nullptr; rule = rule->next) {
        if (!rule_applies(*rule, path)) continue;
        vector = build_vector(rule->command);
        break;
    }
    errno = saved_errno;
    return vector;
}

void free_conversion_argv(char** argv) {
    if (argv == nullptr) return;
    for (char** p = argv; *p != nullptr; ++p) std::free(*p);
    std::free(argv);
}
