#include "cli/schedule.h"

#include "pending/pending_value.h"

namespace {

const char ODD_SIZE_TEXT[] =
    "error: the pending operations value holds an odd number of bytes, so nothing can be added after it; nothing "
    "was changed\n";

// Whether anything matches the name, searched as the restart will see the
// file system. The search refuses a name that ends in a backslash, so such a
// name must be an existing directory.
bool source_exists(const FileSystemAccess& files, const char16_t* source) {
    RedirectionToken redirection = files.disable_redirection(files.context);
    bool exists = false;
    std::size_t length = name_length(source);
    if (length > 0 && source[length - 1] == u'\\') {
        std::uint32_t attributes = 0;
        exists = files.file_attributes(files.context, source, &attributes) == ERROR_CODE_SUCCESS &&
                 (attributes & FILE_ATTRIBUTE_DIRECTORY_BIT) != 0;
    } else {
        SearchHandle search = files.find_first_file(files.context, source);
        if (search != INVALID_SEARCH_HANDLE) files.find_close(files.context, search);
        exists = search != INVALID_SEARCH_HANDLE;
    }
    files.revert_redirection(files.context, redirection);
    return exists;
}

// The system appends an operation to the first value by taking its last
// unit for the list's closing empty string and writing after it. Another
// program may have left the value without that empty string, or cut its
// last string short: the append would then join another program's name to
// the new one. So the NUL units the data lacks are put back first. Values
// of other types are left to the system, which refuses them.
int mend_first_value(const Platform& platform) {
    RegistryKey key = 0;
    std::uint32_t status = open_pending_key(platform, RUNNING_SYSTEM, ACCESS_KEY_READ_WRITE, &key);
    if (status != ERROR_CODE_SUCCESS) {
        print_system_error(platform, status);
        return 1;
    }
    PendingValue value;
    status = read_pending_value(platform, key, PENDING_VALUE_NAMES[0], &value);
    int result = 0;
    if (status == ERROR_CODE_SUCCESS && value.type == VALUE_TYPE_MULTI_SZ) {
        std::uint32_t missing = value.size % 2 == 0 ? closing_units_missing(value) : 0;
        if (value.size % 2 != 0) {
            print_text(platform, ODD_SIZE_TEXT);
            result = 1;
        } else if (missing > 0) {
            for (std::uint32_t i = 0; i < missing; ++i) value.units[unit_count(value) + i] = u'\0';
            const RegistryAccess& registry = platform.registry;
            status = registry.set_value(registry.context, key, PENDING_VALUE_NAMES[0], value.type,
                                        reinterpret_cast<const unsigned char*>(value.units), value.size + 2 * missing);
        }
    }
    release_pending_value(platform, &value);
    platform.registry.close_key(platform.registry.context, key);
    if (status != ERROR_CODE_SUCCESS && status != ERROR_CODE_FILE_NOT_FOUND) {
        print_system_error(platform, status);
        result = 1;
    }
    return result;
}

// Asks the system to record the operation, under the lock: the system reads
// the value and writes it back with the operation added, not while another
// bootmove rewrites it.
int record_operation(const Platform& platform, const char16_t* source, const char16_t* target) {
    LockToken lock = 0;
    if (!lock_pending_operations(platform, &lock)) return 1;
    const FileSystemAccess& files = platform.files;
    int result = mend_first_value(platform);
    if (result == 0) {
        int recorded =
            files.move_file_ex(files.context, source, target, MOVE_REPLACE_EXISTING | MOVE_DELAY_UNTIL_REBOOT);
        std::uint32_t code = recorded == 0 ? files.get_last_error(files.context) : ERROR_CODE_SUCCESS;
        if (recorded == 0 && code == ERROR_CODE_SUCCESS) {
            // Refused without a code of its own: its text would be "Success."
            // or whatever an earlier call left behind.
            print_text(platform, "error: the system refused to record the operation and gave no reason\n");
            result = 1;
        } else if (recorded == 0) {
            print_system_error(platform, code);
            result = 1;
        }
    }
    platform.lock.unlock(platform.lock.context, lock);
    return result;
}

}  // namespace

int schedule_operation(const Platform& platform, const char16_t* source, const char16_t* target) {
    if (name_length(source) >= MAX_NAME_LENGTH || (target != nullptr && name_length(target) >= MAX_NAME_LENGTH)) {
        print_text(platform, "error: file names must be less than 260 characters long\n");
        return 1;
    }

    // The check only proves that something is there; what it found is not
    // used, and the name goes to the platform as typed.
    if (!source_exists(platform.files, source)) {
        print_text(platform, "error: file ");
        print_name(platform, source);
        print_text(platform, " does not exist, can't copy non-existant file\n");
        return 1;
    }

    if (record_operation(platform, source, target) != 0) return 1;
    // Announced once the system has recorded it, so that the line is proof.
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
    return 0;
}
