// The lister's command line: defaults, the option letters, the walk options, sort
// and format they select, and one run from start to exit status.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "lister/lister.h"
#include "lister/lister_state.h"

namespace lister {

ListerState state;

}  // namespace lister

namespace {

using namespace lister;

// The letters the lister knows. The leading "+" asks glibc's getopt to stop at the
// first operand, as the classic lister does, instead of moving later arguments
// that begin with "-" (names from a glob expansion, say) in front as options.
constexpr char option_string[] = "+1ACFLRSTWacdfgiklmnopqrstux";

constexpr char usage_text[] = "usage: ls [-ACFLRSTWacdfgiklmnopqrstux1] [file ...]\n";

// The five format letters exclude each other: the last one given wins.
void select_format(bool ListerState::*chosen) {
    state.single_column = false;
    state.columns = false;
    state.long_format = false;
    state.stream = false;
    state.across = false;
    state.*chosen = true;
}

int lister_usage() {
    std::fputs(usage_text, stderr);
    state.exit_status = 1;
    return 1;
}

// Defaults that depend on where the output goes and who runs the lister.
void set_defaults() {
    if (isatty(STDOUT_FILENO)) {
        const char* columns_text = std::getenv("COLUMNS");
        winsize window{};
        if (columns_text != nullptr) {
            state.term_width = std::atoi(columns_text);
        } else if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col != 0) {
            state.term_width = window.ws_col;
        }
        state.nonprint_as_question = true;
        state.columns = true;
    } else {
        state.single_column = true;
    }
    if (getuid() == 0) state.list_dot = true;
}

// Apply one option letter; false for a letter outside the set.
bool apply_option(int letter) {
    switch (letter) {
        case '1': select_format(&ListerState::single_column); break;
        case 'C': select_format(&ListerState::columns); break;
        case 'l': select_format(&ListerState::long_format); break;
        case 'm': select_format(&ListerState::stream); break;
        case 'x': select_format(&ListerState::across); break;
        case 'A': state.list_dot = true; break;
        case 'F': state.classify = true; break;
        case 'L':
            state.walk_options &= ~(FTS_PHYSICAL | FTS_LOGICAL);
            state.walk_options |= FTS_LOGICAL;
            break;
        case 'R': state.recursive = true; break;
        case 'S': state.sort_key = SortKey::size; break;
        case 'T': state.full_time = true; break;
        case 'W': state.whiteouts = true; break;
        case 'a':
            state.walk_options |= FTS_SEEDOT;
            state.list_dot = true;
            break;
        case 'c':
            state.use_ctime = true;
            state.use_atime = false;
            break;
        case 'd':
            state.dirs_as_files = true;
            state.recursive = false;
            break;
        case 'f': state.no_sort = true; break;
        case 'g': break;  // the group column is always shown
        case 'i': state.show_inode = true; break;
        case 'k': state.block_size = 1024; break;
        case 'n': state.numeric_ids = true; break;
        case 'o': state.show_flags = true; break;
        case 'p': state.slash_dirs = true; break;
        case 'q': state.nonprint_as_question = true; break;
        case 'r': state.reverse = true; break;
        case 's': state.show_blocks = true; break;
        case 't': state.sort_key = SortKey::time; break;
        case 'u':
            state.use_atime = true;
            state.use_ctime = false;
            break;
        default: return false;
    }
    return true;
}

// The formats in the order in which they are tested; the multi-column format is
// what remains when no other flag is set.
struct FormatRow {
    bool ListerState::*flag;
    PrintFunction function;
};

constexpr FormatRow format_rows[] = {
    {.flag = &ListerState::single_column, .function = print_single_column},
    {.flag = &ListerState::across, .function = print_across},
    {.flag = &ListerState::long_format, .function = print_long_format},
    {.flag = &ListerState::stream, .function = print_stream},
};

void finalise_options() {
    // Only these need file status; without them the walk may skip stat for
    // everything but directories.
    bool status_needed = state.show_blocks || state.classify || state.slash_dirs ||
                         state.sort_key != SortKey::name || state.show_inode ||
                         state.long_format;
    if (!status_needed) state.walk_options |= FTS_NOSTAT;
    // A symbolic-link operand is followed only in the plain formats.
    if (!state.dirs_as_files && !state.long_format && !state.classify)
        state.walk_options |= FTS_COMFOLLOW;
#ifdef FTS_WHITEOUT
    if (state.whiteouts) state.walk_options |= FTS_WHITEOUT;
#endif
    if (state.show_inode || state.long_format || state.show_blocks) state.block_size = 1024;

    state.sort_function = select_sort_function();
    state.print_function = print_columns;
    for (const FormatRow& row : format_rows) {
        if (state.*(row.flag)) {
            state.print_function = row.function;
            break;
        }
    }
}

}  // namespace

int lister_main(int argc, char** argv) {
    state = ListerState{};
    std::setlocale(LC_ALL, "");
    set_defaults();

    // optind 0 makes glibc's getopt start over completely, also in a process (or
    // the fork of one) that has parsed other arguments before.
    optind = 0;
    opterr = 1;
    int letter = 0;
    while ((letter = getopt(argc, argv, option_string)) != -1) {
        if (!apply_option(letter)) return lister_usage();
    }
    finalise_options();

    static char current_directory[] = ".";
    char* default_operands[] = {current_directory, nullptr};
    int operand_count = argc > optind ? argc - optind : 0;
    char** operands = argv + optind;
    if (operand_count == 0) {
        operand_count = 1;
        operands = default_operands;
    }

    bool completed = lister_traverse(operand_count, operands, state.walk_options);
    release_column_table();
    // The caller may end the process with _exit, which does not flush stdio; a
    // listing that could not be written in full is a failure, not a success.
    if (std::fflush(stdout) != 0) {
        fatal("stdout");
    } else if (std::ferror(stdout) != 0) {
        errno = EIO;  // the failed write's own error number is gone by now
        fatal("stdout");
    }
    std::clearerr(stdout);
    if (!completed) state.exit_status = 1;
    return state.exit_status;
}
