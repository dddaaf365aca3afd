// wharfls: the server's built-in directory lister as a program of its own.
#include <bsd/stdlib.h>

#include "lister/lister.h"

int main(int argc, char** argv) {
    if (argc > 0 && argv[0] != nullptr) setprogname(argv[0]);
    return lister_main(argc, argv);
}
