#include "cli/command_line.h"

#include <cstdio>
#include <cstring>

#include "cli/offline_hive.h"
#include "cli/schedule.h"
#include "pending/cancel_pending.h"
#include "pending/cancel_stale.h"
#include "pending/json_listing.h"
#include "pending/list_pending.h"
#include "pending/pending_value.h"

namespace {

const char NOT_RUNNING_TEXT[] =
    "error: a system that is not running has no files in use, so its files can be moved or deleted directly; "
    "nothing was changed\n";
const char OFFLINE_STALE_TEXT[] =
    "the names belong to a system that is not running, so nothing here can tell whether they exist; nothing was "
    "changed";
const char NO_HIVE_TEXT[] = "no SYSTEM hive is loaded at ";
const char NO_HIVE_IN_FILE_TEXT[] = " holds no SYSTEM hive: it has no Select\\Current from 1 to 999";
const char NO_WINDOWS_TEXT[] =
    "there is no running Windows here: on Linux bootmove lists and cancels the operations of a SYSTEM hive file "
    "(/hive FILE /l, /hive FILE /c)";
const char UNCLEAN_TEXT[] =
    ": the hive was not closed cleanly (its header's sequence numbers differ) and no entry of its transaction logs "
    "(.LOG1, .LOG2) applies, so changes may be missing; changing the file could corrupt the hive, so nothing was "
    "changed";
const char UNCLEAN_WARNING[] =
    "warning: the hive was not closed cleanly (its header's sequence numbers differ) and no entry of its "
    "transaction logs (.LOG1, .LOG2) applies: changes may be missing from this listing\n";
const char RUNNING_HIVE_TEXT[] =
    " is the running system's own SYSTEM hive: use bootmove without /hive for its pending operations";

bool is_command(const char16_t* argument, const char16_t* command) {
    return names_match(argument, name_length(argument), command, name_length(command));
}

// The arguments after "/l": none, or "/fo json".
bool list_format(int count, const char16_t* const* arguments, ListFormat* format) {
    *format = ListFormat::text;
    if (count == 0) return true;
    *format = ListFormat::json;
    return count == 2 && is_command(arguments[0], u"/fo") && is_command(arguments[1], u"json");
}

enum class StaleForm {
    none,    // no "/stale" among the arguments
    list,    // "/l /stale", "/l /stale /fo json" or "/l /fo json /stale"
    cancel,  // the same after "/c"
    wrong,   // any other form with "/stale"
};

// `arguments` start at the command word.
StaleForm stale_form(int count, const char16_t* const* arguments, ListFormat* format) {
    bool mentioned = false;
    for (int i = 1; i < count; ++i) mentioned = mentioned || is_command(arguments[i], u"/stale");
    if (!mentioned) return StaleForm::none;
    *format = count == 4 ? ListFormat::json : ListFormat::text;
    bool first = count > 1 && is_command(arguments[1], u"/stale");
    const char16_t* const* fo = arguments + (first ? 2 : 1);
    bool form = count == 2 || (count == 4 && is_command(fo[0], u"/fo") && is_command(fo[1], u"json") &&
                               is_command(arguments[first ? 1 : 3], u"/stale"));
    if (form && is_command(arguments[0], u"/l")) return StaleForm::list;
    if (form && is_command(arguments[0], u"/c")) return StaleForm::cancel;
    return StaleForm::wrong;
}

// Lists or cancels in the control set that Select\Current names, in the
// hive at `root` and `name`; `shown` is KEY or FILE as typed. `names` are
// the arguments after "/c".
int act_on_hive(const Platform& platform, RegistryRoot root, const char16_t* name, const char16_t* shown, bool list,
                ListFormat format, const char16_t* const* names, int count) {
    OfflineHive hive;
    std::uint32_t code = ERROR_CODE_SUCCESS;
    HiveSearch found = find_hive_control_set(platform, root, name, &hive, &code);
    if (found == HiveSearch::failed) {
        report_list_failure(platform, format, code);
        return 1;
    }
    if (found == HiveSearch::no_hive) {
        if (platform.running_system) {
            report_own_failure(platform, format, NO_HIVE_TEXT, shown, "");
        } else {
            report_own_failure(platform, format, "", shown, NO_HIVE_IN_FILE_TEXT);
        }
        return 1;
    }
    if (found == HiveSearch::no_control_set) {
        char missing[80];
        std::snprintf(missing, sizeof missing, " has no %s, the control set its Select\\Current names",
                      hive.control_set);
        report_own_failure(platform, format, "the SYSTEM hive at ", shown, missing);
        return 1;
    }
    // The names belong to the system that is not running, whose drive
    // letters differ from this one's: nothing is looked for.
    int status = list ? list_pending_operations(platform, hive.place, format, false, false)
                      : cancel_pending_operation(platform, hive.place, names[0], count > 1 ? names[1] : nullptr);
    release_hive(platform, &hive);
    return status;
}

// "/hive FILE" where no Windows runs: the hive file itself, read-only to
// list. A hive whose logs may hold newer changes is listed with a warning
// and never changed.
int act_on_hive_file(const Platform& platform, const char16_t* file, bool list, ListFormat format,
                     const char16_t* const* names, int count) {
    bool unclean = false;
    std::uint32_t code = platform.registry.load_hive_file(platform.registry.context, file, !list, &unclean);
    if (code != ERROR_CODE_SUCCESS) {
        char cause[ERROR_TEXT_CAPACITY + 2] = ": ";
        std::strncat(cause, system_error_text(code), ERROR_TEXT_CAPACITY - 1);
        for (std::size_t end = std::strlen(cause); end > 0 && (cause[end - 1] == '\n' || cause[end - 1] == '\r');) {
            cause[--end] = '\0';
        }
        report_own_failure(platform, format, "", file, cause);
        return 1;
    }
    if (unclean && !list) {
        report_own_failure(platform, format, "", file, UNCLEAN_TEXT);
        return 1;
    }
    if (unclean) platform.output.write_error(platform.output.context, UNCLEAN_WARNING, sizeof UNCLEAN_WARNING - 1);
    return act_on_hive(platform, RegistryRoot::hive_file, u"", file, list, format, names, count);
}

// "/hive KEY" (on Linux "/hive FILE") and then "/l", "/l /fo json" or "/c":
// the same on the values of a SYSTEM hive loaded at KEY. `argv` starts at
// "/hive".
int run_on_hive(const Platform& platform, const char16_t* program, int argc, const char16_t* const* argv) {
    if (argc < 3) return show_usage(platform, program);
    const char16_t* command = argv[2];
    int after = argc - 3;  // arguments after the command
    ListFormat format = ListFormat::text;
    bool list = is_command(command, u"/l");
    bool move = false;  // "/d FILE" or "SOURCE TARGET"
    StaleForm stale = stale_form(argc - 2, argv + 2, &format);
    if (stale == StaleForm::wrong || is_command(argv[1], u"/stale") || is_command(command, u"/stale")) {
        return show_usage(platform, program);
    }
    if (stale != StaleForm::none) {
        report_own_failure(platform, format, platform.running_system ? OFFLINE_STALE_TEXT : NO_WINDOWS_TEXT, u"", "");
        return 1;
    }
    if (list) {
        if (!list_format(after, argv + 3, &format)) return show_usage(platform, program);
    } else if (is_command(command, u"/c")) {
        if (after < 1) return show_usage(platform, program);
    } else if (after != 1) {
        return show_usage(platform, program);
    } else {
        move = true;
    }
    if (!platform.running_system) {
        if (!move) return act_on_hive_file(platform, argv[1], list, format, argv + 3, after);
        report_own_failure(platform, format, NO_WINDOWS_TEXT, u"", "");
        return 1;
    }
    // Its control sets are the running system's under other names.
    if (is_running_system_hive(platform, argv[1])) {
        report_own_failure(platform, format, "", argv[1], RUNNING_HIVE_TEXT);
        return 1;
    }
    RegistryRoot root = RegistryRoot::local_machine;
    const char16_t* name = nullptr;
    if (!parse_hive_key(argv[1], &root, &name)) return show_usage(platform, program);
    if (move) {
        print_text(platform, NOT_RUNNING_TEXT);
        return 1;
    }
    return act_on_hive(platform, root, name, argv[1], list, format, argv + 3, after);
}

int run_command(const Platform& platform, int argc, const char16_t* const* argv) {
    const char16_t* program = argc > 0 && argv[0] != nullptr ? argv[0] : u"";
    if (argc < 2) {
        print_text(platform, "must supply an argument\n");
        return show_usage(platform, program);
    }
    const char16_t* command = argv[1];
    if (is_command(command, u"/hive")) return run_on_hive(platform, program, argc - 1, argv + 1);
    if (!platform.running_system) {
        report_own_failure(platform, ListFormat::text, NO_WINDOWS_TEXT, u"", "");
        return 1;
    }
    ListFormat format = ListFormat::text;
    StaleForm stale = stale_form(argc - 1, argv + 1, &format);
    if (stale == StaleForm::wrong || is_command(command, u"/stale")) return show_usage(platform, program);
    if (stale == StaleForm::list) return list_pending_operations(platform, RUNNING_SYSTEM, format, true, true);
    if (stale == StaleForm::cancel) return cancel_stale_operations(platform, RUNNING_SYSTEM, format);
    if (is_command(command, u"/l")) {
        if (!list_format(argc - 2, argv + 2, &format)) return show_usage(platform, program);
        return list_pending_operations(platform, RUNNING_SYSTEM, format, true, false);
    }
    if (is_command(command, u"/d")) {
        if (argc != 3) return show_usage(platform, program);
        return schedule_operation(platform, argv[2], nullptr);
    }
    if (is_command(command, u"/c")) {
        if (argc < 3) return show_usage(platform, program);
        return cancel_pending_operation(platform, RUNNING_SYSTEM, argv[2], argc > 3 ? argv[3] : nullptr);
    }
    if (argc != 3) return show_usage(platform, program);
    return schedule_operation(platform, argv[1], argv[2]);
}

}  // namespace

int show_usage(const Platform& platform, const char16_t* program) {
    print_text(platform, "Usage: ");
    print_name(platform, program);
    if (!platform.running_system) {
        // Only what works without a running Windows.
        print_text(platform,
                   " /hive <file> /l | /hive <file> /c <source file> [<target file>]\n"
                   "List or cancel the file operations that a Windows SYSTEM hive file holds for the next system "
                   "boot\n"
                   "\t/hive <file> /l list pending operations on next reboot\n"
                   "\t/hive <file> /l /fo json list pending operations as JSON\n"
                   "\t/hive <file> /c <source file> [<target file>] cancel first matching pending operation\n");
        return 1;
    }
    print_text(platform,
               " [ /d /l /c ] [source file] [target file]\n"
               "Schedule or edit file operations on next system boot\n"
               "\t<source file> <target file> move file on next reboot\n"
               "\t/d <file> delete file on next reboot\n"
               "\t/l list pending operations on next reboot\n"
               "\t/l /fo json list pending operations as JSON\n"
               "\t/c <source file> [<target file>] cancel first matching pending operation\n"
               "\t/l /stale [/fo json] list the operations whose source is gone\n"
               "\t/c /stale [/fo json] cancel every operation whose source is gone\n"
               "\t/hive <key> /l | /c ... the same, on the SYSTEM hive loaded at <key>\n");
    return 1;
}

int run_command_line(const Platform& platform, int argc, const char16_t* const* argv) {
    int status = run_command(platform, argc, argv);
    if (!platform.output.flush(platform.output.context)) status = 1;
    return status;
}
