#include "pending/list_pending.h"

#include "pending/pending_value.h"

namespace {

void print_stored(const Platform& platform, const PendingValue& value, StoredName name) {
    print_name(platform, value.units + name.start, name.length);
}

void list_value(const Platform& platform, const PendingValue& value) {
    OperationCursor cursor = 0;
    Operation operation;
    while (next_operation(value, &cursor, &operation)) {
        print_text(platform, "File ");
        print_stored(platform, value, operation.source);
        if (operation.kind == OperationKind::delete_file) {
            print_text(platform, " -> (delete)\n");
        } else {
            print_text(platform, " -> ");
            print_stored(platform, value, operation.target);
            print_text(platform, "\n");
        }
    }
}

}  // namespace

int list_pending_operations(const Platform& platform) {
    RegistryKey key = 0;
    std::uint32_t status = open_pending_key(platform, ACCESS_KEY_READ, &key);
    if (status != ERROR_CODE_SUCCESS) {
        print_system_error(platform, status);
        return 1;
    }

    // Each value is read and walked on its own. A missing value is nothing
    // to list, unless neither exists.
    bool listed = false;
    for (const char16_t* name : PENDING_VALUE_NAMES) {
        PendingValue value;
        status = read_pending_value(platform, key, name, &value);
        if (status == ERROR_CODE_FILE_NOT_FOUND) continue;
        if (status != ERROR_CODE_SUCCESS) break;
        list_value(platform, value);
        release_pending_value(platform, &value);
        listed = true;
    }
    platform.registry.close_key(platform.registry.context, key);

    if (status == ERROR_CODE_FILE_NOT_FOUND && listed) status = ERROR_CODE_SUCCESS;
    if (status != ERROR_CODE_SUCCESS) {
        print_system_error(platform, status);
        return 1;
    }
    return 0;
}
