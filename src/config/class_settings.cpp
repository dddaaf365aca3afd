// The class settings of the session and their reset to defaults.
#include "config/class_settings.h"

#include <cstdlib>

#include "server/control.h"

ClassSettings curclass;

namespace {

void free_conversions(ConversionRule* rule) {
    while (rule != nullptr) {
        ConversionRule* next = rule->next;
        std::free(rule->suffix);
        std::free(rule->types);
        std::free(rule->disable);
        std::free(rule->command);
        delete rule;
        rule = next;
    }
}

}  // namespace

void reset_class() {
    std::free(curclass.chroot);
    std::free(curclass.classname);
    std::free(curclass.display);
    std::free(curclass.homedir);
    std::free(curclass.limitfile);
    std::free(curclass.motd);
    std::free(curclass.notify);
    free_conversions(curclass.conversions);
    ClassType type = curclass.type;
    curclass = ClassSettings{};
    curclass.type = type;
    curclass.motd = strdup_or_die("motd");
}
