#include "cli/command_line.h"

#include <cstring>

#include "cli/arguments.h"
#include "cli/offline_hive.h"
#include "cli/schedule.h"
#include "cli/why_restart.h"
#include "pending/cancel_pending.h"
#include "pending/cancel_stale.h"
#include "pending/json_listing.h"
#include "pending/list_pending.h"
#include "pending/pending_value.h"

namespace {

const char NOT_RUNNING_TEXT[] =
    "a system that is not running has no files in use, so its files can be moved or deleted directly; nothing was "
    "changed";
const char OFFLINE_STALE_TEXT[] =
    "the names belong to a system that is not running, so nothing here can tell whether they exist; nothing was "
    "changed";
const char NO_WINDOWS_TEXT[] =
    "there is no running Windows here: on Linux bootmove lists and cancels the operations of a SYSTEM hive file "
    "(/hive FILE /l, /hive FILE /c)";
const char NO_VALUES_TEXT[] =
    "\\Control\\Session Manager has neither PendingFileRenameOperations nor PendingFileRenameOperations2";
const char RUNNING_HIVE_TEXT[] =
    " is the running system's own SYSTEM hive: use bootmove without /hive for its pending operations";

// Lists or cancels in the control set that Select\Current names, in the
// hive at `root` and `name`; `shown` is KEY or FILE as typed.
int act_on_hive(const Platform& platform, RegistryRoot root, const char16_t* name, const char16_t* shown,
                const Request& request) {
    ListFormat format = request.format;
    bool list = request.command == Command::list;
    OfflineHive hive;
    if (!find_control_set_or_report(platform, root, name, shown, format, &hive)) return 1;
    // The names belong to the system that is not running, whose drive
    // letters differ from this one's: nothing is looked for.
    // A hive file without pending operations is named with its control set,
    // rather than with the system's "File not found." that the registry of
    // a running Windows gives.
    char absent_text[160] = " holds no pending operations: ";
    std::strcat(absent_text, hive.control_set);
    std::strcat(absent_text, NO_VALUES_TEXT);
    AbsentValues absent{shown, absent_text};
    const AbsentValues* named = root == RegistryRoot::hive_file ? &absent : nullptr;
    int status = list ? list_pending_operations(platform, hive.place, format, false, false, named)
                      : cancel_pending_operation(platform, hive.place, request.names[0], request.names[1]);
    release_hive(platform, &hive);
    return status;
}

// "/hive FILE": the hive file itself, read-only to list. A hive whose logs
// may hold newer changes is listed with a warning and never changed.
int act_on_hive_file(const Platform& platform, const Request& request) {
    bool list = request.command == Command::list;
    if (!open_hive_file_or_report(platform, request.hive, request.format, !list)) return 1;
    return act_on_hive(platform, RegistryRoot::hive_file, u"", request.hive, request);
}

// "/hive KEY" or "/hive FILE" and then "/l", "/l /fo json", "/c" or "/why":
// the same on the values of a SYSTEM hive loaded at KEY or held in FILE.
int run_on_hive(const Platform& platform, const Request& request) {
    bool move = request.command == Command::move || request.command == Command::remove;
    if (request.stale) {
        report_own_failure(platform, request.format, platform.running_system ? OFFLINE_STALE_TEXT : NO_WINDOWS_TEXT,
                           u"", "");
        return 1;
    }
    if (!platform.running_system) {
        if (request.command == Command::why) return why_restart_in_file(platform, request.hive, request.format);
        if (!move) return act_on_hive_file(platform, request);
        report_own_failure(platform, ListFormat::text, NO_WINDOWS_TEXT, u"", "");
        return 1;
    }
    // Any word that names no registry key is a file.
    if (!names_registry_key(request.hive)) {
        if (move) {
            print_error(platform, NOT_RUNNING_TEXT);
            return 1;
        }
        if (request.command == Command::why) return why_restart_in_file(platform, request.hive, request.format);
        return act_on_hive_file(platform, request);
    }
    // Its control sets are the running system's under other names.
    if (is_running_system_hive(platform, request.hive)) {
        report_own_failure(platform, request.format, "", request.hive, RUNNING_HIVE_TEXT);
        return 1;
    }
    RegistryRoot root = RegistryRoot::local_machine;
    const char16_t* name = nullptr;
    if (!parse_hive_key(request.hive, &root, &name)) {
        print_usage(platform, request, true);
        return 1;
    }
    if (move) {
        print_error(platform, NOT_RUNNING_TEXT);
        return 1;
    }
    if (request.command == Command::why) return why_restart_at_key(platform, root, name, request.hive, request.format);
    return act_on_hive(platform, root, name, request.hive, request);
}

int run_request(const Platform& platform, const Request& request) {
    switch (request.command) {
        case Command::none:
            begin_errors(platform);
            print_text(platform, "must supply an argument\n");
            print_usage(platform, request, true);
            end_errors(platform);
            return 1;
        case Command::wrong:
            print_usage(platform, request, true);
            return 1;
        case Command::help:
            print_usage(platform, request, false);
            return 0;
        case Command::version:
            print_text(platform, "bootmove " BOOTMOVE_VERSION "\n");
            return 0;
        default:
            break;
    }
    if (request.hive != nullptr) return run_on_hive(platform, request);
    if (!platform.running_system) {
        report_own_failure(platform, request.format, NO_WINDOWS_TEXT, u"", "");
        return 1;
    }
    switch (request.command) {
        case Command::list:
            return list_pending_operations(platform, RUNNING_SYSTEM, request.format, true, request.stale, nullptr);
        case Command::cancel:
            if (request.stale) return cancel_stale_operations(platform, RUNNING_SYSTEM, request.format);
            return cancel_pending_operation(platform, RUNNING_SYSTEM, request.names[0], request.names[1]);
        case Command::remove:
            return schedule_operation(platform, request.names[0], nullptr);
        case Command::why:
            return why_restart_running(platform, request.format);
        default:
            return schedule_operation(platform, request.names[0], request.names[1]);
    }
}

}  // namespace

int run_command_line(const Platform& platform, int argc, const char16_t* const* argv) {
    int status = run_request(platform, read_arguments(argc, argv, platform.running_system));
    if (!platform.output.flush(platform.output.context)) status = 1;
    return status;
}
