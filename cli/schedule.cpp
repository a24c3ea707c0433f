#include "cli/schedule.h"

#include "pending/pending_value.h"

namespace {

const char ODD_SIZE_TEXT[] =
    "the pending operations value holds an odd number of bytes, so nothing can be added after it; nothing was "
    "changed";

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

const char UNCONFIRMED_TEXT[] =
    "the system recorded the operation, but it could not be confirmed that the restart will read it, so it may not "
    "be carried out";

// What a value held just before the system's append, to find the appended
// operation afterwards. The system takes the value's last unit for the
// list's closing empty string and writes over it, so the operation begins
// at `append_at`, behind units that stay as they were.
struct BeforeAppend {
    bool present;
    std::uint32_t size;
    std::uint64_t whole;  // fingerprint of all the data
    OperationCursor append_at;
    std::uint64_t kept;  // fingerprint of the units before `append_at`
};

BeforeAppend before_append(const PendingValue& value) {
    OperationCursor at = unit_count(value) > 0 ? unit_count(value) - 1 : 0;
    return {true, value.size, fingerprint(value, value.size), at, fingerprint(value, at * 2)};
}

// The system appends to the first value behind what it takes for the
// list's end. When the list ends before the data does (an empty string
// stands there, and more follows), the append lands where the restart never
// reads; when the data ends before the list does (no closing empty string,
// or a last string cut short), the append is joined to another program's
// name. So the value is made to end where its list ends: cut right after the
// closing empty string (nobody reads what follows it), or given the NUL
// units it lacks. Values of other types are left to the system, which
// refuses them. Gives the new size in `*size`, or false when the value
// cannot be mended.
bool mend(PendingValue* value, std::uint32_t* size) {
    bool closed = false;
    OperationCursor end = list_end(*value, &closed);
    *size = value->size;
    if (closed) {
        *size = end * 2;
        return true;
    }
    if (value->size % 2 != 0) return false;
    std::uint32_t missing = closing_units_missing(*value);
    for (std::uint32_t i = 0; i < missing; ++i) value->units[unit_count(*value) + i] = u'\0';
    *size = value->size + 2 * missing;
    return true;
}

// Mends the first value and notes what both values hold just before the
// system's append.
int mend_pending_values(const Platform& platform, BeforeAppend* before) {
    RegistryKey key = 0;
    std::uint32_t status = open_pending_key(platform, RUNNING_SYSTEM, ACCESS_KEY_READ_WRITE, &key);
    if (status != ERROR_CODE_SUCCESS) {
        print_system_error(platform, status);
        return 1;
    }
    int result = 0;
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT && result == 0; ++which) {
        PendingValue value;
        before[which] = BeforeAppend{};
        status = read_pending_value(platform, key, PENDING_VALUE_NAMES[which], &value);
        std::uint32_t size = value.size;
        if (status == ERROR_CODE_SUCCESS && which == 0 && value.type == VALUE_TYPE_MULTI_SZ) {
            if (!mend(&value, &size)) {
                print_error(platform, ODD_SIZE_TEXT);
                result = 1;
            } else if (size != value.size) {
                const RegistryAccess& registry = platform.registry;
                status = registry.set_value(registry.context, key, PENDING_VALUE_NAMES[0], value.type,
                                            reinterpret_cast<const unsigned char*>(value.units), size);
                value.size = size;
            }
        }
        if (status == ERROR_CODE_SUCCESS) before[which] = before_append(value);
        release_pending_value(platform, &value);
        if (status != ERROR_CODE_SUCCESS && status != ERROR_CODE_FILE_NOT_FOUND) {
            print_system_error(platform, status);
            result = 1;
        }
    }
    platform.registry.close_key(platform.registry.context, key);
    return result;
}

// Whether the operation the system appended to `value` stands inside the
// list as the restart reads it: what stood in front of it is unchanged, and
// the list runs to the end of the data, where the system put it, closing
// with the data's last unit.
bool appended_in_list(const PendingValue& value, const BeforeAppend& before, bool move) {
    if (value.type != VALUE_TYPE_MULTI_SZ || value.size % 2 != 0 || value.size < before.append_at * 2) return false;
    if (before.present && fingerprint(value, before.append_at * 2) != before.kept) return false;
    OperationCursor cursor = 0;
    Operation operation;
    Operation last{};
    while (next_operation(value, &cursor, &operation)) last = operation;
    return cursor + 1 == unit_count(value) && last.has_target && (last.kind == OperationKind::move) == move;
}

// Looks for the appended operation in the value the system changed.
bool confirm_recorded(const Platform& platform, const BeforeAppend* before, bool move) {
    RegistryKey key = 0;
    if (open_pending_key(platform, RUNNING_SYSTEM, ACCESS_KEY_READ, &key) != ERROR_CODE_SUCCESS) return false;
    bool confirmed = false;
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
        PendingValue value;
        if (read_pending_value(platform, key, PENDING_VALUE_NAMES[which], &value) != ERROR_CODE_SUCCESS) continue;
        bool changed = !before[which].present || value.size != before[which].size ||
                       fingerprint(value, value.size) != before[which].whole;
        if (changed) confirmed = appended_in_list(value, before[which], move);
        release_pending_value(platform, &value);
        if (changed) break;
    }
    platform.registry.close_key(platform.registry.context, key);
    return confirmed;
}

// Asks the system to record the operation, under the lock: the system reads
// the value and writes it back with the operation added, not while another
// bootmove rewrites it. Only an operation found inside the list afterwards
// counts as recorded.
int record_operation(const Platform& platform, const char16_t* source, const char16_t* target) {
    LockToken lock = 0;
    if (!lock_pending_operations(platform, &lock)) return 1;
    const FileSystemAccess& files = platform.files;
    BeforeAppend before[PENDING_VALUE_COUNT] = {};
    int result = mend_pending_values(platform, before);
    if (result == 0) {
        int recorded =
            files.move_file_ex(files.context, source, target, MOVE_REPLACE_EXISTING | MOVE_DELAY_UNTIL_REBOOT);
        std::uint32_t code = recorded == 0 ? files.get_last_error(files.context) : ERROR_CODE_SUCCESS;
        if (recorded == 0 && code == ERROR_CODE_SUCCESS) {
            // Refused without a code of its own: its text would be "Success."
            // or whatever an earlier call left behind.
            print_error(platform, "the system refused to record the operation and gave no reason");
            result = 1;
        } else if (recorded == 0) {
            print_system_error(platform, code);
            result = 1;
        } else if (!confirm_recorded(platform, before, target != nullptr)) {
            print_error(platform, UNCONFIRMED_TEXT);
            result = 1;
        }
    }
    platform.lock.unlock(platform.lock.context, lock);
    return result;
}

}  // namespace

int schedule_operation(const Platform& platform, const char16_t* source, const char16_t* target) {
    if (name_length(source) >= MAX_NAME_LENGTH || (target != nullptr && name_length(target) >= MAX_NAME_LENGTH)) {
        print_error(platform, "file names must be less than 260 characters long");
        return 1;
    }

    // The check only proves that something is there; what it found is not
    // used, and the name goes to the platform as typed.
    if (!source_exists(platform.files, source)) {
        begin_errors(platform);
        print_text(platform, "error: file ");
        print_name(platform, source);
        print_text(platform, " does not exist, can't copy non-existant file\n");
        end_errors(platform);
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
