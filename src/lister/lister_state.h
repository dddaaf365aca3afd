// The lister's option state and the calls between its own files (options, walk,
// display step, formats, diagnostics). Nothing outside src/lister/ includes it.
#pragma once

#include <fts.h>
#include <sys/stat.h>

#include <cstdint>

namespace lister {

enum class SortKey { name, size, time };

// One listing block, built by the display step and read by the format functions.
// The widths and `total_blocks` hold values only when file status is needed
// (long format, inode or block column).
struct DisplayInfo {
    FTSENT* list = nullptr;         // the block's entries in sorted order; fts_number 1 = not shown
    std::uint64_t total_blocks = 0; // sum of st_blocks (512-byte units) of the shown entries
    int entry_count = 0;            // number of shown entries
    int max_name_len = 0;           // bytes of the longest shown name
    int block_width = 0;            // digits of the largest block count
    int flags_width = 0;            // width of the flags column; always 0
    int group_width = 0;            // longest group text
    int inode_width = 0;            // digits of the largest inode number
    int links_width = 0;            // digits of the largest link count
    int size_width = 0;             // digits of the largest size, widened for devices
    int user_width = 0;             // longest user text
    int major_width = 0;            // width of major device numbers, 0 without devices
    int minor_width = 0;            // width of minor device numbers, 0 without devices
};

// The owner texts of one shown entry in the long format, hung on its fts_pointer.
// One allocation holds the record and the three texts after it.
struct OwnerNames {
    char* user;   // user name or decimal uid
    char* group;  // group name or decimal gid
    char* flags;  // file-flags text ("o"); always empty
};

// fts_number of an entry that no format prints.
constexpr long not_shown = 1;

using SortFunction = int (*)(const FTSENT* a, const FTSENT* b);
using PrintFunction = void (*)(const DisplayInfo& info);

// Everything one run of the lister decides and accumulates. `lister_main` starts
// every run from these initial values, so nothing carries over between runs.
// Written by option parsing and finalisation (options.cpp) unless noted.
struct ListerState {
    int term_width = 80;              // columns for the multi-column and stream formats
    bool single_column = false;       // "1"; default when output is not a terminal
    bool columns = false;             // "C"; default when output is a terminal
    bool long_format = false;         // "l"
    bool stream = false;              // "m"
    bool across = false;              // "x"
    bool nonprint_as_question = false;// "q"; default on a terminal
    bool list_dot = false;            // "A", "a"; default for the superuser
    bool classify = false;            // "F"
    bool slash_dirs = false;          // "p"
    bool recursive = false;           // "R"; cleared by "d"
    bool dirs_as_files = false;       // "d"
    SortKey sort_key = SortKey::name; // "S", "t": the later one wins
    bool reverse = false;             // "r"
    bool no_sort = false;             // "f"
    bool use_atime = false;           // "u"; cleared by "c"
    bool use_ctime = false;           // "c"; cleared by "u"
    bool full_time = false;           // "T"
    bool show_inode = false;          // "i"
    bool show_blocks = false;         // "s"
    int block_size = 0;               // "k", forced to 1024 when counts are shown
    bool numeric_ids = false;         // "n"
    bool show_flags = false;          // "o"
    bool whiteouts = false;           // "W"
    int walk_options = FTS_PHYSICAL;  // options for fts_open
    SortFunction sort_function = nullptr;   // chosen at finalisation
    PrintFunction print_function = nullptr; // chosen at finalisation
    bool output_started = false;      // a block or header was printed (walk, display step)
    int exit_status = 0;              // 1 after any error (all lister files)
};

extern ListerState state;

// Diagnostics on standard error, prefixed with the program name (diagnostics.cpp).
// warning: "name: text".
void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
// warning_errno: "name: error text" for the current errno.
void warning_errno();
// fatal: "name: text: error text", or "name: error text" when `text` is null; sets
// the exit status to 1. The caller stops and returns 1 to lister_main.
void fatal(const char* text);

// The walk (traverse.cpp): lists the operands and everything below them. Returns
// false after a fatal error, which it has already reported.
bool lister_traverse(int operand_count, char** operands, int walk_options);

// The fts comparison for every pair the walk sorts, operands included.
int compare_entries(const FTSENT** a, const FTSENT** b);

// Select the sort function for the current options (traverse.cpp).
SortFunction select_sort_function();

// The display step (display.cpp): `parent` is the listed directory, or null for the
// operand level; `list` is what fts_children returned. Returns false after a fatal
// error (already reported).
bool lister_display(const FTSENT* parent, FTSENT* list);

// Block count of `blocks` 512-byte units in `block_size` units, rounded up.
std::uint64_t block_count(std::uint64_t blocks);

// The five formats (formats.cpp).
void print_single_column(const DisplayInfo& info);
void print_columns(const DisplayInfo& info);
void print_across(const DisplayInfo& info);
void print_long_format(const DisplayInfo& info);
void print_stream(const DisplayInfo& info);

// Release the entry table of the multi-column format (formats.cpp).
void release_column_table();

}  // namespace lister
