// The lister's display step: which entries of a block are shown, the column
// widths and block total of the block, the owner texts, and the format call.
#include <bsd/grp.h>
#include <bsd/pwd.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lister/lister_state.h"

namespace {

using namespace lister;

// Room for the decimal text of any 32-bit id.
constexpr std::size_t id_text_size = 12;

int decimal_digits(std::uint64_t value) {
    int digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

// Attach the user, group and flags texts to `entry` in one allocation. A text is
// the name for the id, or the decimal id with "n" or when the id has no name.
bool attach_owner_names(FTSENT* entry, std::size_t* user_width, std::size_t* group_width) {
    const struct stat* status = entry->fts_statp;
    char user_number[id_text_size];
    char group_number[id_text_size];
    std::snprintf(user_number, sizeof user_number, "%u", static_cast<unsigned>(status->st_uid));
    std::snprintf(group_number, sizeof group_number, "%u",
                  static_cast<unsigned>(status->st_gid));
    const char* user = user_number;
    const char* group = group_number;
    if (!state.numeric_ids) {
        // With 0 as the second argument both return the decimal id when the id has
        // no name; the checks only guard against a failed look-up.
        const char* user_name = user_from_uid(status->st_uid, 0);
        const char* group_name = group_from_gid(status->st_gid, 0);
        if (user_name != nullptr) user = user_name;
        if (group_name != nullptr) group = group_name;
    }
    const char* flags = "";

    std::size_t user_length = std::strlen(user);
    std::size_t group_length = std::strlen(group);
    std::size_t flags_length = std::strlen(flags);
    auto names = static_cast<OwnerNames*>(std::malloc(sizeof(OwnerNames) + user_length +
                                                      group_length + flags_length + 3));
    if (names == nullptr) return false;
    char* text = reinterpret_cast<char*>(names + 1);
    names->user = text;
    std::memcpy(text, user, user_length + 1);
    text += user_length + 1;
    names->group = text;
    std::memcpy(text, group, group_length + 1);
    text += group_length + 1;
    names->flags = text;
    std::memcpy(text, flags, flags_length + 1);
    entry->fts_pointer = names;

    *user_width = std::max(*user_width, user_length);
    *group_width = std::max(*group_width, group_length);
    return true;
}

void release_owner_names(FTSENT* list) {
    for (FTSENT* entry = list; entry != nullptr; entry = entry->fts_link) {
        std::free(entry->fts_pointer);
        entry->fts_pointer = nullptr;
    }
}

// The largest values of a block, kept while its entries are looked at.
struct BlockMaxima {
    std::uint64_t blocks = 0;
    std::uint64_t inode = 0;
    std::uint64_t links = 0;
    std::uint64_t size = 0;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    bool has_device = false;
    std::size_t user_width = 0;
    std::size_t group_width = 0;
};

void note_status(const struct stat* status, BlockMaxima& maxima, DisplayInfo& info) {
    auto blocks = static_cast<std::uint64_t>(status->st_blocks);
    maxima.blocks = std::max(maxima.blocks, blocks);
    maxima.inode = std::max(maxima.inode, static_cast<std::uint64_t>(status->st_ino));
    maxima.links = std::max(maxima.links, static_cast<std::uint64_t>(status->st_nlink));
    maxima.size = std::max(maxima.size, static_cast<std::uint64_t>(status->st_size));
    if (S_ISCHR(status->st_mode) || S_ISBLK(status->st_mode)) {
        maxima.major_number = std::max(maxima.major_number, major(status->st_rdev));
        maxima.minor_number = std::max(maxima.minor_number, minor(status->st_rdev));
        maxima.has_device = true;
    }
    info.total_blocks += blocks;
}

void compute_widths(const BlockMaxima& maxima, DisplayInfo& info) {
    info.block_width = decimal_digits(block_count(maxima.blocks));
    info.flags_width = 0;
    info.inode_width = decimal_digits(maxima.inode);
    info.links_width = decimal_digits(maxima.links);
    info.size_width = decimal_digits(maxima.size);
    info.user_width = static_cast<int>(maxima.user_width);
    info.group_width = static_cast<int>(maxima.group_width);
    if (!maxima.has_device) return;
    // Make "major, minor" and the sizes of the other entries one column.
    info.major_width = decimal_digits(maxima.major_number);
    info.minor_width = decimal_digits(maxima.minor_number);
    int device_width = info.major_width + info.minor_width + 2;
    if (device_width > info.size_width)
        info.size_width = device_width;
    else if (info.size_width - info.minor_width - 2 > info.major_width)
        info.major_width = info.size_width - info.minor_width - 2;
}

}  // namespace

namespace lister {

std::uint64_t block_count(std::uint64_t blocks) {
    std::uint64_t unit = state.block_size > 0 ? static_cast<std::uint64_t>(state.block_size) : 1024;
    // st_blocks counts 512-byte units; round up to whole units of `unit` bytes.
    std::uint64_t per_unit = unit / 512;
    return blocks / per_unit + (blocks % per_unit != 0 ? 1 : 0);
}

bool lister_display(const FTSENT* parent, FTSENT* list) {
    if (list == nullptr) return true;
    bool status_needed = state.long_format || state.show_inode || state.show_blocks;

    DisplayInfo info;
    info.list = list;
    BlockMaxima maxima;
    for (FTSENT* entry = list; entry != nullptr; entry = entry->fts_link) {
        if (entry->fts_info == FTS_NS || entry->fts_info == FTS_ERR) {
            warning("%s: %s", entry->fts_name, std::strerror(entry->fts_errno));
            entry->fts_number = not_shown;
            state.exit_status = 1;
            continue;
        }
        if (parent != nullptr) {
            if (entry->fts_name[0] == '.' && !state.list_dot) {
                entry->fts_number = not_shown;
                continue;
            }
        } else if (entry->fts_info == FTS_D && !state.dirs_as_files) {
            // A directory operand is listed by the walk, under its own header.
            entry->fts_number = not_shown;
            continue;
        }

        ++info.entry_count;
        info.max_name_len = std::max(info.max_name_len, static_cast<int>(entry->fts_namelen));
        if (!status_needed) continue;
        note_status(entry->fts_statp, maxima, info);
        if (state.long_format &&
            !attach_owner_names(entry, &maxima.user_width, &maxima.group_width)) {
            fatal(nullptr);
            release_owner_names(list);
            return false;
        }
    }
    if (info.entry_count == 0) return true;

    if (status_needed) compute_widths(maxima, info);
    state.print_function(info);
    state.output_started = true;
    if (state.long_format) release_owner_names(list);
    return true;
}

}  // namespace lister
