#include "pending/list_pending.h"

#include "pending/file_lookup.h"
#include "pending/json_listing.h"
#include "pending/pending_value.h"

namespace {

void print_stored(const Platform& platform, const PendingValue& value, StoredName name) {
    print_name(platform, value.units + name.start, name.length);
}

// Each value is walked on its own. Deciding whether an operation is stale
// (with `earlier`, else every operation is listed) looks its source up, so a
// last string without its NUL gets one just past the data, where the buffer
// has room.
void list_values(const Platform& platform, PendingValue* values, const bool* present, const bool* unreadable,
                 ListFormat format, bool check_files, EarlierTargets* earlier) {
    JsonListing listing;
    if (format == ListFormat::json) start_json_listing(&listing, platform, check_files);
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
        if (!present[which]) continue;
        PendingValue& value = values[which];
        Judged judged = judged_in(which, values[0], present[1]);
        value.units[unit_count(value)] = u'\0';
        OperationCursor cursor = 0;
        Operation operation;
        while (next_operation(value, &cursor, &operation)) {
            if (earlier != nullptr && !judge_operation(platform, earlier, value, operation, judged)) continue;
            if (format == ListFormat::json) {
                add_json_operation(&listing, value, which, operation);
            } else {
                print_operation(platform, value, operation);
            }
        }
    }
    if (format == ListFormat::json && (unreadable[0] || unreadable[1])) {
        end_json_listing_with_unreadable(&listing, unreadable);
    } else if (format == ListFormat::json) {
        end_json_listing(&listing);
    }
}

// A value that is there but stored in a form Windows does not read (a hive
// file's cells that disagree with its size): the restart carries out none
// of its operations, so none is listed, and the warning says why.
void warn_unreadable(const Platform& platform, const bool* unreadable) {
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
        if (!unreadable[which]) continue;
        begin_warnings(platform);
        print_text(platform, "warning: ");
        print_name(platform, PENDING_VALUE_NAMES[which]);
        print_text(platform, ": ");
        print_text(platform, system_error_text(ERROR_CODE_VALUE_UNREADABLE));
        print_text(platform, "; none of its operations is listed\n");
        end_warnings(platform);
    }
}

}  // namespace

void print_operation(const Platform& platform, const PendingValue& value, const Operation& operation) {
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

void report_list_failure(const Platform& platform, ListFormat format, std::uint32_t status) {
    if (format == ListFormat::json) {
        write_json_system_error(platform, status);
    } else {
        print_system_error(platform, status);
    }
}

void report_own_failure(const Platform& platform, ListFormat format, const char* before, const char16_t* name,
                        const char* after) {
    if (format == ListFormat::json) {
        write_json_error(platform, 0, before, name, name_length(name), after);
    } else {
        begin_errors(platform);
        print_text(platform, "error: ");
        print_text(platform, before);
        print_name(platform, name);
        print_text(platform, after);
        print_text(platform, "\n");
        end_errors(platform);
    }
}

int list_pending_operations(const Platform& platform, const PendingPlace& place, ListFormat format, bool check_files,
                            bool stale_only, const AbsentValues* absent) {
    // Both values are read before anything is written. A missing value is
    // nothing to list; the text says "File not found." only when neither
    // exists, the document and the stale ones say nothing is pending.
    PendingValue values[PENDING_VALUE_COUNT] = {};
    bool present[PENDING_VALUE_COUNT] = {};
    bool unreadable[PENDING_VALUE_COUNT] = {};
    bool any = false;
    RegistryKey key = 0;
    std::uint32_t status = open_pending_key(platform, place, ACCESS_KEY_READ, &key);
    if (status == ERROR_CODE_SUCCESS) {
        for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
            status = read_pending_value(platform, key, PENDING_VALUE_NAMES[which], &values[which]);
            present[which] = status == ERROR_CODE_SUCCESS;
            unreadable[which] = status == ERROR_CODE_VALUE_UNREADABLE;
            if (unreadable[which]) status = ERROR_CODE_SUCCESS;
            any = any || present[which] || unreadable[which];
            if (status != ERROR_CODE_SUCCESS && status != ERROR_CODE_FILE_NOT_FOUND) break;
        }
        platform.registry.close_key(platform.registry.context, key);
    }
    if (status == ERROR_CODE_FILE_NOT_FOUND && (any || format == ListFormat::json || stale_only)) {
        status = ERROR_CODE_SUCCESS;
    }
    // The stale ones are judged with the moves before them, in both values.
    std::size_t moves = 0;
    for (const PendingValue& value : values) moves += stale_only ? count_moves(value) : 0;
    EarlierTargets earlier{};
    if (stale_only && !start_earlier_targets(platform, moves, &earlier)) {
        status = ERROR_CODE_NOT_ENOUGH_MEMORY;
    } else if (status == ERROR_CODE_SUCCESS || format == ListFormat::text) {
        // The document is never a partial list: a failure is all it holds.
        // Looked for as the restart will see the file system.
        const FileSystemAccess& files = platform.files;
        bool look = (check_files && format == ListFormat::json) || stale_only;
        RedirectionToken redirection = look ? files.disable_redirection(files.context) : 0;
        if (status == ERROR_CODE_SUCCESS) warn_unreadable(platform, unreadable);
        list_values(platform, values, present, unreadable, format, check_files, stale_only ? &earlier : nullptr);
        if (look) files.revert_redirection(files.context, redirection);
    }
    release_earlier_targets(platform, &earlier);
    for (PendingValue& value : values) release_pending_value(platform, &value);
    if (status == ERROR_CODE_FILE_NOT_FOUND && absent != nullptr) {
        report_own_failure(platform, format, "", absent->name, absent->text);
        return 1;
    }
    if (status != ERROR_CODE_SUCCESS) {
        report_list_failure(platform, format, status);
        return 1;
    }
    return 0;
}
