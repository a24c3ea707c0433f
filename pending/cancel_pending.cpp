#include "pending/cancel_pending.h"

#include <cstring>

#include "pending/pending_value.h"

namespace {

const char NO_MATCH_TEXT[] = "Could not fild a matching a pending file operation\n";

struct Wanted {
    const char16_t* source;
    std::size_t source_length;
    const char16_t* target;  // null: any target
    std::size_t target_length;
};

// Where the first matching operation is: in which value, its bounds, and
// the value as it was read, to tell whether it changed by the write.
struct Found {
    bool matched;
    std::size_t which;
    Operation operation;
    std::uint64_t fingerprint;
    std::uint32_t size;
};

bool name_is(const PendingValue& value, StoredName stored, const char16_t* wanted, std::size_t length) {
    return names_match(value.units + stored.start, stored.length, wanted, length);
}

bool find_operation(const PendingValue& value, const Wanted& wanted, Operation* match) {
    OperationCursor cursor = 0;
    Operation operation;
    while (next_operation(value, &cursor, &operation)) {
        if (!name_is(value, operation.source, wanted.source, wanted.source_length)) continue;
        if (wanted.target != nullptr && !name_is(value, operation.target, wanted.target, wanted.target_length)) {
            continue;
        }
        *match = operation;
        return true;
    }
    return false;
}

// Looks in each value in turn and fills in `found`. Gives 0, or the code
// of a failed read (ERROR_CODE_FILE_NOT_FOUND when no value exists at all).
std::uint32_t search_values(const Platform& platform, RegistryKey key, const Wanted& wanted, Found* found) {
    *found = Found{};
    bool any = false;
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT && !found->matched; ++which) {
        PendingValue value;
        std::uint32_t status = read_pending_value(platform, key, PENDING_VALUE_NAMES[which], &value);
        if (status == ERROR_CODE_FILE_NOT_FOUND) continue;
        if (status == ERROR_CODE_VALUE_UNREADABLE) found->which = which;
        if (status != ERROR_CODE_SUCCESS) return status;
        any = true;
        found->matched = find_operation(value, wanted, &found->operation);
        if (found->matched) *found = Found{true, which, found->operation, fingerprint(value, value.size), value.size};
        release_pending_value(platform, &value);
    }
    return any ? ERROR_CODE_SUCCESS : ERROR_CODE_FILE_NOT_FOUND;
}

// Cuts the operation out of the data in place and gives the new size. When
// the cut reaches the end of the data, the list gets its closing empty
// string again: the restart ignores data that does not end in two NULs, and
// the system's own append takes the last unit for that closing NUL.
std::uint32_t cut_operation(PendingValue* value, const Operation& operation) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(value->units);
    std::uint32_t begin = operation.begin * 2;
    std::uint32_t end = operation.end * 2;
    std::memmove(bytes + begin, bytes + end, value->size - end);
    std::uint32_t size = value->size - (end - begin);
    if (operation.end == unit_count(*value)) {
        std::memmove(bytes + begin + 2, bytes + begin, size - begin);  // the odd byte, if any
        bytes[begin] = 0;
        bytes[begin + 1] = 0;
        size += 2;
    }
    // Never a NUL unit just past the data: for the string types the registry
    // would store it too, taking it for a forgotten terminator.
    bytes[size] = 0xFF;
    bytes[size + 1] = 0xFF;
    return size;
}

int cancel_in(const Platform& platform, RegistryKey key, const Wanted& wanted) {
    for (int attempt = 0; attempt < CANCEL_TRIES; ++attempt) {
        Found found;
        std::uint32_t status = search_values(platform, key, wanted, &found);
        if (status == ERROR_CODE_VALUE_UNREADABLE) {
            // Named, since which of the two it is matters to whoever mends it.
            begin_errors(platform);
            print_text(platform, "error: ");
            print_name(platform, PENDING_VALUE_NAMES[found.which]);
            print_text(platform, ": ");
            print_text(platform, system_error_text(status));
            print_text(platform, "; nothing was changed\n");
            end_errors(platform);
            return 1;
        }
        if (status != ERROR_CODE_SUCCESS) {
            print_system_error(platform, status);
            return 1;
        }
        if (!found.matched) {
            begin_errors(platform);
            print_text(platform, NO_MATCH_TEXT);
            end_errors(platform);
            return 1;
        }

        // Read again just before writing, so that nothing another program
        // changed meanwhile is undone; if anything changed, search again.
        PendingValue value;
        status = read_pending_value(platform, key, PENDING_VALUE_NAMES[found.which], &value);
        if (status == ERROR_CODE_FILE_NOT_FOUND) continue;
        if (status != ERROR_CODE_SUCCESS) {
            print_system_error(platform, status);
            return 1;
        }
        Operation now;
        bool same = value.size == found.size && fingerprint(value, value.size) == found.fingerprint &&
                    find_operation(value, wanted, &now) && now.begin == found.operation.begin &&
                    now.end == found.operation.end;
        if (!same) {
            release_pending_value(platform, &value);
            continue;
        }
        std::uint32_t size = cut_operation(&value, now);
        const RegistryAccess& registry = platform.registry;
        status = registry.set_value(registry.context, key, PENDING_VALUE_NAMES[found.which], value.type,
                                    reinterpret_cast<const unsigned char*>(value.units), size);
        release_pending_value(platform, &value);
        if (status != ERROR_CODE_SUCCESS) {
            print_system_error(platform, status);
            return 1;
        }
        return 0;
    }
    print_error(platform, CHANGING_TEXT);
    return 1;
}

}  // namespace

int cancel_pending_operation(const Platform& platform, const PendingPlace& place, const char16_t* source,
                             const char16_t* target) {
    RegistryKey key = 0;
    std::uint32_t status = open_pending_key(platform, place, ACCESS_KEY_READ_WRITE, &key);
    if (status != ERROR_CODE_SUCCESS) {
        print_system_error(platform, status);
        return 1;
    }
    Wanted wanted{source, name_length(source), target, target != nullptr ? name_length(target) : 0};
    LockToken lock = 0;
    int result = 1;
    if (lock_pending_operations(platform, &lock)) {
        result = cancel_in(platform, key, wanted);
        platform.lock.unlock(platform.lock.context, lock);
    }
    platform.registry.close_key(platform.registry.context, key);
    return result;
}
