#include "cli/command_line.h"

#include "cli/schedule.h"
#include "pending/cancel_pending.h"
#include "pending/list_pending.h"
#include "pending/pending_value.h"

namespace {

bool is_command(const char16_t* argument, const char16_t* command) {
    return names_match(argument, name_length(argument), command, name_length(command));
}

int run_command(const Platform& platform, int argc, const char16_t* const* argv) {
    const char16_t* program = argc > 0 && argv[0] != nullptr ? argv[0] : u"";
    if (argc < 2) {
        print_text(platform, "must supply an argument\n");
        return show_usage(platform, program);
    }
    const char16_t* command = argv[1];
    if (is_command(command, u"/l")) {
        if (argc == 2) return list_pending_operations(platform, ListFormat::text);
        if (argc == 4 && is_command(argv[2], u"/fo") && is_command(argv[3], u"json")) {
            return list_pending_operations(platform, ListFormat::json);
        }
        return show_usage(platform, program);
    }
    if (is_command(command, u"/d")) {
        if (argc != 3) return show_usage(platform, program);
        return schedule_operation(platform, argv[2], nullptr);
    }
    if (is_command(command, u"/c")) {
        if (argc < 3) return show_usage(platform, program);
        return cancel_pending_operation(platform, argv[2], argc > 3 ? argv[3] : nullptr);
    }
    if (argc != 3) return show_usage(platform, program);
    return schedule_operation(platform, argv[1], argv[2]);
}

}  // namespace

int show_usage(const Platform& platform, const char16_t* program) {
    print_text(platform, "Usage: ");
    print_name(platform, program);
    print_text(platform,
               " [ /d /l /c ] [source file] [target file]\n"
               "Schedule or edit file operations on next system boot\n"
               "\t<source file> <target file> move file on next reboot\n"
               "\t/d <file> delete file on next reboot\n"
               "\t/l list pending operations on next reboot\n"
               "\t/l /fo json list pending operations as JSON\n"
               "\t/c <source file> [<target file>] cancel first matching pending operation\n");
    return 1;
}

int run_command_line(const Platform& platform, int argc, const char16_t* const* argv) {
    int status = run_command(platform, argc, argv);
    if (!platform.output.flush(platform.output.context)) status = 1;
    return status;
}
