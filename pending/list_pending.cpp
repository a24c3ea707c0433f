#include "pending/list_pending.h"

#include "pending/json_listing.h"
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

void report_list_failure(const Platform& platform, ListFormat format, std::uint32_t status) {
    if (format == ListFormat::json) {
        // The system's text without its line end.
        const char16_t* text = system_error_units(status);
        std::size_t length = name_length(text);
        while (length > 0 && (text[length - 1] == u'\n' || text[length - 1] == u'\r')) --length;
        write_json_error(platform, status, "", text, length, "");
    } else {
        print_system_error(platform, status);
    }
}

void report_own_failure(const Platform& platform, ListFormat format, const char* before, const char16_t* name,
                        const char* after) {
    if (format == ListFormat::json) {
        write_json_error(platform, 0, before, name, name_length(name), after);
    } else {
        print_text(platform, "error: ");
        print_text(platform, before);
        print_name(platform, name);
        print_text(platform, after);
        print_text(platform, "\n");
    }
}

int list_pending_operations(const Platform& platform, const PendingPlace& place, ListFormat format, bool check_files) {
    // Both values are read before anything is written, and each is walked
    // on its own. A missing value is nothing to list; the text says "File
    // not found." only when neither exists, the document says nothing is
    // pending.
    PendingValue values[PENDING_VALUE_COUNT] = {};
    bool present[PENDING_VALUE_COUNT] = {};
    bool any = false;
    RegistryKey key = 0;
    std::uint32_t status = open_pending_key(platform, place, ACCESS_KEY_READ, &key);
    if (status == ERROR_CODE_SUCCESS) {
        for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
            status = read_pending_value(platform, key, PENDING_VALUE_NAMES[which], &values[which]);
            present[which] = status == ERROR_CODE_SUCCESS;
            any = any || present[which];
            if (status != ERROR_CODE_SUCCESS && status != ERROR_CODE_FILE_NOT_FOUND) break;
        }
        platform.registry.close_key(platform.registry.context, key);
    }
    if (status == ERROR_CODE_FILE_NOT_FOUND && (any || format == ListFormat::json)) status = ERROR_CODE_SUCCESS;

    if (format == ListFormat::json) {
        // Never a partial list: a failure is the whole document.
        if (status == ERROR_CODE_SUCCESS) write_json_operations(platform, values, present, check_files);
    } else {
        for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
            if (present[which]) list_value(platform, values[which]);
        }
    }
    for (PendingValue& value : values) release_pending_value(platform, &value);
    if (status != ERROR_CODE_SUCCESS) {
        report_list_failure(platform, format, status);
        return 1;
    }
    return 0;
}
