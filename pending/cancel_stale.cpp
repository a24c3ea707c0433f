#include "pending/cancel_stale.h"

#include <cstring>

#include "pending/cancel_pending.h"
#include "pending/file_lookup.h"
#include "pending/json_listing.h"

namespace {

// Which operations of a value are stale: a bit for each, in the order of
// the walk.
struct StaleSet {
    unsigned char* bits;
    std::uint32_t stale;
    std::uint32_t live;
};

bool is_stale(const StaleSet& set, std::uint32_t index) {
    return ((static_cast<unsigned>(set.bits[index / 8]) >> (index % 8)) & 1u) != 0;
}

// What has been printed: a JSON document is begun with the first value
// written, so that a failure before it is an error document alone.
struct StaleOutput {
    ListFormat format;
    bool started;
    JsonListing listing;
};

void report_code(const Platform& platform, StaleOutput* output, std::uint32_t code) {
    if (output->format == ListFormat::json && output->started) {
        end_json_listing_with_system_error(&output->listing, code);
    } else {
        report_list_failure(platform, output->format, code);
    }
}

void report_own(const Platform& platform, StaleOutput* output, const char* text) {
    if (output->format == ListFormat::json && output->started) {
        end_json_listing_with_error(&output->listing, 0, text, u"", 0, "");
    } else {
        report_own_failure(platform, output->format, text, u"", "");
    }
}

void release_set(const Platform& platform, StaleSet* set) {
    if (set->bits != nullptr) platform.heap.release(platform.heap.context, set->bits);
    set->bits = nullptr;
}

// Decides, one lookup at a time, which operations are stale, each with what
// the moves before it create: those of `first` (the first value as it was
// decided, empty while the first value itself is decided) and the value's
// own; `judged` says which may be judged at all. A last string without its
// NUL gets one just past the data for its lookup; what stood there (an odd
// last byte) is put back.
bool decide(const Platform& platform, PendingValue& value, const PendingValue& first, Judged judged, StaleSet* set) {
    std::size_t bytes = (unit_count(value) / 2 + 1) / 8 + 1;
    set->bits = static_cast<unsigned char*>(platform.heap.allocate(platform.heap.context, bytes));
    EarlierTargets earlier;
    if (set->bits == nullptr || !start_earlier_targets(platform, count_moves(first) + count_moves(value), &earlier)) {
        release_set(platform, set);
        return false;
    }
    std::memset(set->bits, 0, bytes);
    set->stale = set->live = 0;
    OperationCursor cursor = 0;
    Operation operation;
    while (next_operation(first, &cursor, &operation)) add_earlier_target(&earlier, first, operation);
    char16_t past = value.units[unit_count(value)];
    value.units[unit_count(value)] = u'\0';
    cursor = 0;
    for (std::uint32_t index = 0; next_operation(value, &cursor, &operation); ++index) {
        bool stale = judge_operation(platform, &earlier, value, operation, judged);
        if (stale) set->bits[index / 8] = static_cast<unsigned char>(set->bits[index / 8] | 1u << (index % 8));
        ++(stale ? set->stale : set->live);
    }
    value.units[unit_count(value)] = past;
    release_earlier_targets(platform, &earlier);
    return true;
}

// The value without its stale operations, as "/c" cuts one: the live
// operations and every byte after the list's end as stored; when a cut
// reached the end of the data and `close` allows, the list's closing empty
// string, which the restart needs, in front of an odd last byte. Gives the
// new size.
std::uint32_t keep_live(const PendingValue& value, const StaleSet& set, bool close, unsigned char* out) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(value.units);
    std::uint32_t size = 0;
    bool cut_at_end = false;
    OperationCursor cursor = 0;
    Operation operation;
    for (std::uint32_t index = 0; next_operation(value, &cursor, &operation); ++index) {
        if (is_stale(set, index)) {
            cut_at_end = cut_at_end || operation.end == unit_count(value);
            continue;
        }
        std::memcpy(out + size, bytes + operation.begin * 2, (operation.end - operation.begin) * 2);
        size += (operation.end - operation.begin) * 2;
    }
    if (cut_at_end && close) {
        out[size++] = 0;
        out[size++] = 0;
    }
    std::memcpy(out + size, bytes + cursor * 2, value.size - cursor * 2);
    size += value.size - cursor * 2;
    // Never a NUL unit just past the data: for the string types the registry
    // would store it too, taking it for a forgotten terminator.
    out[size] = 0xFF;
    out[size + 1] = 0xFF;
    return size;
}

// Writes the value without its stale operations, or deletes it. The first
// value's end is left as it was while the second value exists: an empty
// string there would end the strings before the second value's, were the
// restart to read the two as one run.
std::uint32_t write_live(const Platform& platform, RegistryKey key, std::size_t which, const PendingValue& value,
                         const StaleSet& set, bool second_exists) {
    const RegistryAccess& registry = platform.registry;
    if (set.live == 0) return registry.delete_value(registry.context, key, PENDING_VALUE_NAMES[which]);
    unsigned char* out = static_cast<unsigned char*>(platform.heap.allocate(platform.heap.context, value.size + 8));
    if (out == nullptr) return ERROR_CODE_NOT_ENOUGH_MEMORY;
    std::uint32_t size = keep_live(value, set, which != 0 || !second_exists, out);
    std::uint32_t status = registry.set_value(registry.context, key, PENDING_VALUE_NAMES[which], value.type, out, size);
    platform.heap.release(platform.heap.context, out);
    return status;
}

// Whether the value `name` exists; a failure to tell counts as yes.
bool value_exists(const Platform& platform, RegistryKey key, const char16_t* name) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    return platform.registry.query_value(platform.registry.context, key, name, &type, nullptr, &size) !=
           ERROR_CODE_FILE_NOT_FOUND;
}

void list_cancelled(const Platform& platform, PendingValue& value, std::size_t which, const StaleSet& set,
                    StaleOutput* output) {
    if (output->format == ListFormat::json && !output->started) {
        start_json_listing(&output->listing, platform, true);
        output->started = true;
    }
    value.units[unit_count(value)] = u'\0';
    OperationCursor cursor = 0;
    Operation operation;
    for (std::uint32_t index = 0; next_operation(value, &cursor, &operation); ++index) {
        if (!is_stale(set, index)) continue;
        if (output->format == ListFormat::json) {
            add_json_operation(&output->listing, value, which, operation);
        } else {
            print_operation(platform, value, operation);
        }
    }
}

// Reads and decides, reads again just before the write and decides again
// if the value changed (for the first value, also if the second came or
// went), then writes once and lists what was cancelled. A
// value that holds no operation at all keeps "a restart is pending" true
// for nothing, so it is deleted too, without a line. `value` is left
// holding the value as decided (empty when there is none) for the caller
// to release. Gives 0, or 1 once a failure is reported.
int clear_value(const Platform& platform, RegistryKey key, std::size_t which, const PendingValue& first,
                PendingValue* value, StaleOutput* output) {
    std::uint32_t status = read_pending_value(platform, key, PENDING_VALUE_NAMES[which], value);
    for (int attempt = 0; attempt < CANCEL_TRIES; ++attempt) {
        if (status == ERROR_CODE_FILE_NOT_FOUND) return 0;
        if (status != ERROR_CODE_SUCCESS) {
            report_code(platform, output, status);
            return 1;
        }
        bool second_exists = which == 0 && value_exists(platform, key, PENDING_VALUE_NAMES[1]);
        StaleSet set{};
        if (!decide(platform, *value, first, judged_in(which, first, second_exists), &set)) {
            report_code(platform, output, ERROR_CODE_NOT_ENOUGH_MEMORY);
            return 1;
        }
        if (set.stale == 0 && set.live > 0) {
            release_set(platform, &set);
            return 0;
        }
        std::uint32_t size = value->size;
        std::uint64_t before = fingerprint(*value, size);
        release_pending_value(platform, value);
        status = read_pending_value(platform, key, PENDING_VALUE_NAMES[which], value);
        if (status == ERROR_CODE_SUCCESS && value->size == size && fingerprint(*value, size) == before &&
            (which != 0 || value_exists(platform, key, PENDING_VALUE_NAMES[1]) == second_exists)) {
            status = write_live(platform, key, which, *value, set, second_exists);
            if (status == ERROR_CODE_SUCCESS) list_cancelled(platform, *value, which, set, output);
            release_set(platform, &set);
            if (status == ERROR_CODE_SUCCESS) return 0;
            report_code(platform, output, status);
            return 1;
        }
        release_set(platform, &set);
    }
    report_own(platform, output, CHANGING_TEXT);
    return 1;
}

}  // namespace

int cancel_stale_operations(const Platform& platform, const PendingPlace& place, ListFormat format) {
    StaleOutput output{format, false, {}};
    RegistryKey key = 0;
    std::uint32_t status = open_pending_key(platform, place, ACCESS_KEY_READ_WRITE, &key);
    if (status != ERROR_CODE_SUCCESS) {
        report_list_failure(platform, format, status);
        return 1;
    }
    LockToken lock = 0;
    status = platform.lock.lock(platform.lock.context, &lock);
    int result = 1;
    if (status == ERROR_CODE_ACCESS_DENIED || (status & APPLICATION_CODE_BIT) != 0) {
        report_list_failure(platform, format, status);
    } else if (status != ERROR_CODE_SUCCESS) {
        report_own_failure(platform, format, LOCK_HELD_TEXT, u"", "");
    } else {
        // Looked for as the restart will see the file system.
        const FileSystemAccess& files = platform.files;
        RedirectionToken redirection = files.disable_redirection(files.context);
        // The second value's operations come after all of the first's.
        PendingValue values[PENDING_VALUE_COUNT] = {};
        const PendingValue none{};
        result = 0;
        for (std::size_t which = 0; which < PENDING_VALUE_COUNT && result == 0; ++which) {
            result = clear_value(platform, key, which, which == 0 ? none : values[0], &values[which], &output);
        }
        for (PendingValue& value : values) release_pending_value(platform, &value);
        files.revert_redirection(files.context, redirection);
        platform.lock.unlock(platform.lock.context, lock);
    }
    platform.registry.close_key(platform.registry.context, key);
    if (result == 0 && format == ListFormat::json) {
        if (!output.started) start_json_listing(&output.listing, platform, true);
        end_json_listing(&output.listing);
    }
    return result;
}
