// Commands whose handlers are not built yet answer that they are not implemented.
// Each handler leaves this file when its own code lands.
#include <cstdio>

// Conversions arrive with their own code.
#include "config/conversions.h"
char** find_conversion(const char*) { return nullptr; }
void free_conversion_argv(char**) {}

// The built-in lister arrives with its own code.
#include "lister/lister.h"
int lister_main(int, char**) {
    std::fputs("lister not available yet\n", stderr);
    return 1;
}
