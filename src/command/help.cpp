// HELP and SITE HELP: the command list in columns, or one command's syntax.
#include "command/help.h"

#include <cstring>

#include "server/control.h"
#include "server/settings.h"

namespace {

constexpr int help_line_width = 76;

int row_count(const CommandEntry* table) {
    int count = 0;
    while (table[count].name != nullptr) ++count;
    return count;
}

// The longest name rounded down to a multiple of 8, plus 8.
int column_width(const CommandEntry* table) {
    int longest = 0;
    for (const CommandEntry* row = table; row->name != nullptr; ++row) {
        int length = static_cast<int>(std::strlen(row->name));
        if (length > longest) longest = length;
    }
    return (longest & ~7) + 8;
}

char mark_of(const CommandEntry& row) {
    if (row.flags == command_not_implemented) return '-';
    if ((row.flags & command_takes_options) != 0) return '+';
    return '\0';
}

void list_commands(CommandEntry* table, const char* prefix) {
    int width = column_width(table);
    int columns = width > help_line_width ? 1 : help_line_width / width;
    int rows = row_count(table);
    int lines = (rows + columns - 1) / columns;

    send_reply(-214, "%s", "");
    send_reply(0, "The following %scommands are recognized.", prefix);
    send_reply(0, "(`-' = not implemented, `+' = supports options)");
    for (int line = 0; line < lines; ++line) {
        counted_printf(control_out, "    ");
        for (int index = line; index < rows; index += lines) {
            const CommandEntry& row = table[index];
            counted_printf(control_out, "%s", row.name);
            int used = static_cast<int>(std::strlen(row.name));
            if (char mark = mark_of(row); mark != '\0') {
                counted_printf(control_out, "%c", mark);
                ++used;
            }
            if (index + lines >= rows) break;  // last name on the line: no padding
            for (; used < width; ++used) counted_printf(control_out, " ");
        }
        counted_printf(control_out, "\r\n");
    }
    std::fflush(control_out);
    send_reply(214, "Direct comments to ftp-bugs@%s.", server_name);
}

}  // namespace

void cmd_help(CommandEntry* table, const char* command) {
    const char* prefix = table == site_table ? "SITE " : "";
    if (command == nullptr) {
        list_commands(table, prefix);
        return;
    }
    const CommandEntry* row = lookup_command(table, command);
    if (row == nullptr) {
        send_reply(502, "Unknown command '%s'.", command);
        return;
    }
    if (row->flags != command_not_implemented) {
        send_reply(214, "Syntax: %s%s %s", prefix, row->name, row->help);
        return;
    }
    send_reply(504, "%s%-*s\t%s; not implemented.", prefix, column_width(table), row->name,
               row->help);
}
