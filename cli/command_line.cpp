#include "cli/command_line.h"

#include <cstring>

#include "cli/schedule.h"
#include "pending/cancel_pending.h"
#include "pending/list_pending.h"
#include "pending/pending_value.h"

namespace {

bool is_command(const char* argument, const char* command) {
    return names_match(argument, std::strlen(argument), command, std::strlen(command));
}

}  // namespace

int show_usage(const char* program, FILE* out) {
    std::fprintf(out,
                 "Usage: %s [ /d /l /c ] [source file] [target file]\n"
                 "Schedule or edit file operations on next system boot\n"
                 "\t<source file> <target file> move file on next reboot\n"
                 "\t/d <file> delete file on next reboot\n"
                 "\t/l list pending operations on next reboot\n"
                 "\t/c <source file> [<target file>] cancel first matching pending operation\n",
                 program);
    return 1;
}

int run_command_line(const Platform& platform, int argc, const char* const* argv, FILE* out) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    if (argc < 2) {
        std::fprintf(out, "must supply an argument\n");
        return show_usage(program, out);
    }
    const char* command = argv[1];
    if (is_command(command, "/l")) {
        if (argc != 2) return show_usage(program, out);
        return list_pending_operations(platform, out);
    }
    if (is_command(command, "/d")) {
        if (argc != 3) return show_usage(program, out);
        return schedule_operation(platform, argv[2], nullptr, out);
    }
    if (is_command(command, "/c")) {
        if (argc < 3) return show_usage(program, out);
        return cancel_pending_operation(platform, argv[2], argc > 3 ? argv[3] : nullptr, out);
    }
    if (argc != 3) return show_usage(program, out);
    return schedule_operation(platform, argv[1], argv[2], out);
}
