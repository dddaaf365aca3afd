// The lister's walk over the operands with fts, its directory headers and
// diagnostics, and the order in which entries are sorted.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lister/lister_state.h"

namespace {

using namespace lister;

// The time the sort and the long format use; nanoseconds do not count.
std::time_t entry_seconds(const FTSENT* entry) {
    const struct stat* status = entry->fts_statp;
    if (state.use_atime) return status->st_atim.tv_sec;
    if (state.use_ctime) return status->st_ctim.tv_sec;
    return status->st_mtim.tv_sec;
}

int by_name(const FTSENT* a, const FTSENT* b) { return std::strcmp(a->fts_name, b->fts_name); }

int by_name_reversed(const FTSENT* a, const FTSENT* b) { return by_name(b, a); }

// Newer first; equal seconds by name.
int by_time(const FTSENT* a, const FTSENT* b) {
    std::time_t first = entry_seconds(a);
    std::time_t second = entry_seconds(b);
    if (second > first) return 1;
    if (second < first) return -1;
    return by_name(a, b);
}

int by_time_reversed(const FTSENT* a, const FTSENT* b) { return by_time(b, a); }

// Larger first; equal sizes by name.
int by_size(const FTSENT* a, const FTSENT* b) {
    off_t first = a->fts_statp->st_size;
    off_t second = b->fts_statp->st_size;
    if (second > first) return 1;
    if (second < first) return -1;
    return by_name(a, b);
}

int by_size_reversed(const FTSENT* a, const FTSENT* b) { return by_size(b, a); }

struct SortRow {
    SortKey key;
    bool reverse;
    SortFunction function;
};

// Reversing an order also reverses its tie-break by name.
constexpr SortRow sort_rows[] = {
    {.key = SortKey::name, .reverse = false, .function = by_name},
    {.key = SortKey::name, .reverse = true, .function = by_name_reversed},
    {.key = SortKey::time, .reverse = false, .function = by_time},
    {.key = SortKey::time, .reverse = true, .function = by_time_reversed},
    {.key = SortKey::size, .reverse = false, .function = by_size},
    {.key = SortKey::size, .reverse = true, .function = by_size_reversed},
};

// One directory met on the way down: header, listing, and whether to descend.
bool show_directory(FTS* walk, FTSENT* directory, int operand_count) {
    // A hidden directory below the operands is passed over without being pruned,
    // so with "R" the visible directories inside it still get their own listings.
    if (directory->fts_level > FTS_ROOTLEVEL && directory->fts_name[0] == '.' &&
        !state.list_dot)
        return true;

    if (state.output_started) {
        std::printf("\n%s:\n", directory->fts_path);
    } else if (operand_count > 1) {
        std::printf("%s:\n", directory->fts_path);
        state.output_started = true;
    }

    int child_options =
        (!state.recursive && (state.walk_options & FTS_NOSTAT) != 0) ? FTS_NAMEONLY : 0;
    FTSENT* children = fts_children(walk, child_options);
    if (!lister_display(directory, children)) return false;
    if (children != nullptr && !state.recursive) fts_set(walk, directory, FTS_SKIP);
    return true;
}

// The name a walk diagnostic shows. Once fts_read has returned an operand, its
// fts_name holds only the last component (nothing at all for "dir/"), so an
// operand is named by its path, which is the operand as given.
const char* walk_name(const FTSENT* entry) {
    return entry->fts_level == FTS_ROOTLEVEL ? entry->fts_path : entry->fts_name;
}

bool walk_tree(FTS* walk, int operand_count) {
    FTSENT* entry = nullptr;
    while ((entry = fts_read(walk)) != nullptr) {
        switch (entry->fts_info) {
            case FTS_D:
                if (!show_directory(walk, entry, operand_count)) return false;
                break;
            case FTS_DC:
                warning("%s: directory causes a cycle", walk_name(entry));
                break;
            case FTS_DNR:
            case FTS_ERR:
                warning("%s: %s", walk_name(entry), std::strerror(entry->fts_errno));
                state.exit_status = 1;
                break;
            case FTS_DP:
                // glibc's fts hands back a directory it could not enter (readable
                // but not searchable, say) on the way up with only its error
                // number set; that is a directory that was not listed.
                if (entry->fts_errno != 0) {
                    warning("%s: %s", walk_name(entry), std::strerror(entry->fts_errno));
                    state.exit_status = 1;
                }
                break;
            default:
                // Files are printed by their directory's listing; "." and "..",
                // directories on the way up and the rest need nothing here.
                break;
        }
    }
    // fts_read clears errno when the walk simply ends.
    if (errno != 0) {
        fatal("fts_read");
        return false;
    }
    return true;
}

// With "d" nothing below the operands is read. The operands are still stepped
// through, without descending, because glibc's fts_close releases the operand
// entries only once fts_read has moved onto them.
void step_over_operands(FTS* walk) {
    FTSENT* entry = nullptr;
    while ((entry = fts_read(walk)) != nullptr) {
        if (entry->fts_info == FTS_D) fts_set(walk, entry, FTS_SKIP);
    }
}

}  // namespace

namespace lister {

SortFunction select_sort_function() {
    for (const SortRow& row : sort_rows) {
        if (row.key == state.sort_key && row.reverse == state.reverse) return row.function;
    }
    return by_name;
}

int compare_entries(const FTSENT** first, const FTSENT** second) {
    const FTSENT* a = *first;
    const FTSENT* b = *second;
    if (a->fts_info == FTS_ERR || b->fts_info == FTS_ERR) return 0;
    bool a_unknown = a->fts_info == FTS_NS;
    bool b_unknown = b->fts_info == FTS_NS;
    if (a_unknown || b_unknown) {
        if (a_unknown && b_unknown) return by_name(a, b);
        return a_unknown ? 1 : -1;
    }
    // Among the operands, directories come after everything else, so that the
    // files' lines are printed before the first directory header.
    if (a->fts_info != b->fts_info && !state.dirs_as_files && a->fts_level == FTS_ROOTLEVEL) {
        if (a->fts_info == FTS_D) return 1;
        if (b->fts_info == FTS_D) return -1;
    }
    return state.sort_function(a, b);
}

bool lister_traverse(int operand_count, char** operands, int walk_options) {
    // fts_open wants the operands ended by a null pointer; make sure they are.
    auto paths = static_cast<char**>(
        std::calloc(static_cast<std::size_t>(operand_count) + 1, sizeof(char*)));
    if (paths == nullptr) {
        fatal(nullptr);
        return false;
    }
    for (int i = 0; i < operand_count; ++i) paths[i] = operands[i];

    FTS* walk = fts_open(paths, walk_options, state.no_sort ? nullptr : compare_entries);
    if (walk == nullptr) {
        fatal(nullptr);
        std::free(paths);
        return false;
    }
    // Before the first fts_read, fts_children gives the operands themselves.
    bool completed = lister_display(nullptr, fts_children(walk, 0));
    if (completed && !state.dirs_as_files) completed = walk_tree(walk, operand_count);
    if (completed && state.dirs_as_files) step_over_operands(walk);
    fts_close(walk);
    std::free(paths);
    return completed;
}

}  // namespace lister
