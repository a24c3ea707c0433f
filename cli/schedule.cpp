#include "cli/schedule.h"

#include "pending/pending_value.h"

namespace {

// Whether anything matches the name, searched as the restart will see the
// file system.
bool source_exists(const FileSystemAccess& files, const char16_t* source) {
    RedirectionToken redirection = files.disable_redirection(files.context);
    SearchHandle search = files.find_first_file(files.context, source);
    if (search != INVALID_SEARCH_HANDLE) files.find_close(files.context, search);
    files.revert_redirection(files.context, redirection);
    return search != INVALID_SEARCH_HANDLE;
}

}  // namespace

int schedule_operation(const Platform& platform, const char16_t* source, const char16_t* target) {
    if (name_length(source) >= MAX_NAME_LENGTH || (target != nullptr && name_length(target) >= MAX_NAME_LENGTH)) {
        print_text(platform, "error: file names must be less than 260 characters long\n");
        return 1;
    }

    // The search only proves that something matches the name; what it found
    // is not used, and the name goes to the platform as typed.
    const FileSystemAccess& files = platform.files;
    if (!source_exists(files, source)) {
        print_text(platform, "error: file ");
        print_name(platform, source);
        print_text(platform, " does not exist, can't copy non-existant file\n");
        return 1;
    }

    if (target != nullptr) {
        print_text(platform, "Moving ");
        print_name(platform, source);
        print_text(platform, " to ");
        print_name(platform, target);
        print_text(platform, " at next reboot\n");
    } else {
        print_text(platform, "Deleting ");
        print_name(platform, source);
        print_text(platform, " next reboot\n");
    }
    // The system reads the value and writes it back with the operation
    // added: not while another bootmove rewrites it.
    LockToken lock = platform.lock.lock(platform.lock.context);
    int recorded = files.move_file_ex(files.context, source, target, MOVE_REPLACE_EXISTING | MOVE_DELAY_UNTIL_REBOOT);
    std::uint32_t code = recorded == 0 ? files.get_last_error(files.context) : ERROR_CODE_SUCCESS;
    platform.lock.unlock(platform.lock.context, lock);
    if (recorded == 0) {
        if (code == ERROR_CODE_SUCCESS) {
            // Refused without a code of its own: its text would be "Success."
            // or whatever an earlier call left behind.
            print_text(platform, "error: the system refused to record the operation and gave no reason\n");
        } else {
            print_system_error(platform, code);
        }
        return 1;
    }
    return 0;
}
