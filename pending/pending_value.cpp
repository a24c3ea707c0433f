#include "pending/pending_value.h"

#include <cstring>
#include <string>

namespace {

// Bytes of room a read leaves beyond the size asked, besides an eighth more.
constexpr std::uint32_t READ_HEADROOM = 4096;

// The end of the string at `cursor`: its NUL, or the data's end. Looks at
// four units at a time: a word with no NUL unit in it is passed whole.
OperationCursor string_end(const PendingValue& value, OperationCursor cursor) {
    OperationCursor units = unit_count(value);
    OperationCursor at = cursor < units ? cursor : units;
    for (; units - at >= 4; at += 4) {
        std::uint64_t word;
        std::memcpy(&word, value.units + at, sizeof word);
        if (((word - 0x0001000100010001ull) & ~word & 0x8000800080008000ull) != 0) break;
    }
    while (at < units && value.units[at] != u'\0') ++at;
    return at;
}

// Past the NUL at `end`, or the data's end.
OperationCursor past(const PendingValue& value, OperationCursor end) {
    return end < unit_count(value) ? end + 1 : unit_count(value);
}

StoredName name_between(OperationCursor start, OperationCursor end) { return {start, end - start}; }

}  // namespace

std::uint32_t open_pending_key(const Platform& platform, const PendingPlace& place, std::uint32_t access,
                               RegistryKey* key) {
    *key = 0;
    return platform.registry.open_key(platform.registry.context, place.root, place.key_path, access, key);
}

std::uint32_t read_pending_value(const Platform& platform, RegistryKey key, const char16_t* name, PendingValue* value) {
    *value = PendingValue{};
    const RegistryAccess& registry = platform.registry;
    for (int attempt = 1;; ++attempt) {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        std::uint32_t status = registry.query_value(registry.context, key, name, &type, nullptr, &size);
        if (status != ERROR_CODE_SUCCESS) return status;
        // Room for what another program may add between the two queries,
        // in whole units, and a few units beyond it: a rewrite's guard, or
        // the closing NULs a value may lack. Pages the data does not reach
        // are never touched.
        std::uint64_t room = std::uint64_t(size) + size / 8 + READ_HEADROOM;
        if (room > 0xFFFFFFF0u) room = 0xFFFFFFF0u;
        if (size > room) return ERROR_CODE_NOT_ENOUGH_MEMORY;
        std::uint32_t capacity = static_cast<std::uint32_t>(room);
        std::size_t units = std::size_t(capacity) / 2 + 4;
        char16_t* buffer = static_cast<char16_t*>(platform.heap.allocate(platform.heap.context, units * 2));
        if (buffer == nullptr) return ERROR_CODE_NOT_ENOUGH_MEMORY;

        std::uint32_t stored = capacity;
        status =
            registry.query_value(registry.context, key, name, &type, reinterpret_cast<unsigned char*>(buffer), &stored);
        if (status == ERROR_CODE_SUCCESS) {
            *value = PendingValue{type, stored < capacity ? stored : capacity, buffer};
            return ERROR_CODE_SUCCESS;
        }
        platform.heap.release(platform.heap.context, buffer);
        // Another program added more than that between the two queries.
        if (status != ERROR_CODE_MORE_DATA || attempt == PENDING_READ_TRIES) return status;
    }
}

void release_pending_value(const Platform& platform, PendingValue* value) {
    if (value->units != nullptr) platform.heap.release(platform.heap.context, value->units);
    *value = PendingValue{};
}

OperationCursor strip_nt_prefix(const PendingValue& value, OperationCursor cursor) {
    static const char16_t prefix[] = u"\\??\\";
    OperationCursor units = unit_count(value);
    for (OperationCursor i = 0; i < 4; ++i) {
        if (cursor + i >= units || value.units[cursor + i] != prefix[i]) return cursor;
    }
    return cursor + 4;
}

namespace {

// Past a mark, '*' and any ASCII digits, at `cursor`; `cursor` itself when
// no '*' stands there.
OperationCursor skip_mark(const PendingValue& value, OperationCursor cursor) {
    OperationCursor units = unit_count(value);
    if (cursor >= units || value.units[cursor] != u'*') return cursor;
    OperationCursor at = cursor + 1;
    while (at < units && value.units[at] >= u'0' && value.units[at] <= u'9') ++at;
    return at;
}

bool unit_at(const PendingValue& value, OperationCursor at, char16_t unit) {
    return at < unit_count(value) && value.units[at] == unit;
}

}  // namespace

OperationCursor source_name_start(const PendingValue& value, OperationCursor cursor) {
    OperationCursor after_mark = skip_mark(value, cursor);
    if (after_mark != cursor) {
        OperationCursor name = strip_nt_prefix(value, after_mark);
        return name != after_mark ? name : cursor;
    }
    return strip_nt_prefix(value, cursor);
}

OperationCursor target_name_start(const PendingValue& value, OperationCursor cursor, bool* replace) {
    *replace = unit_at(value, cursor, u'!');
    if (*replace) return strip_nt_prefix(value, cursor + 1);
    OperationCursor after_mark = skip_mark(value, cursor);
    if (after_mark != cursor) {
        bool marked_replace = unit_at(value, after_mark, u'!');
        OperationCursor prefix = marked_replace ? after_mark + 1 : after_mark;
        OperationCursor name = strip_nt_prefix(value, prefix);
        if (name == prefix) return cursor;  // no prefix: the '*' is part of the name
        *replace = marked_replace;
        return name;
    }
    return strip_nt_prefix(value, cursor);
}

OperationCursor next_string(const PendingValue& value, OperationCursor cursor) {
    return past(value, string_end(value, cursor));
}

bool next_operation(const PendingValue& value, OperationCursor* cursor, Operation* operation) {
    OperationCursor units = unit_count(value);
    OperationCursor begin = *cursor;
    if (begin >= units || value.units[begin] == u'\0') return false;

    // The source is whatever string stands where a source begins, a '!'
    // included: only its mark and prefix are dropped.
    Operation found{};
    found.kind = OperationKind::delete_file;
    found.begin = begin;
    OperationCursor source_end = string_end(value, begin);
    found.stored_source = name_between(begin, source_end);
    found.source = name_between(source_name_start(value, begin), source_end);
    found.end = past(value, source_end);
    if (found.end < units) {
        // The next string is the target, whatever it holds. Without a name
        // after the marks and the prefix the restart deletes the source.
        OperationCursor target = found.end;
        OperationCursor target_end = string_end(value, target);
        found.has_target = true;
        found.stored_target = name_between(target, target_end);
        OperationCursor name = target_name_start(value, target, &found.replace);
        if (name < target_end) {
            found.kind = OperationKind::move;
            found.target = name_between(name, target_end);
        } else {
            found.replace = false;
        }
        found.end = past(value, target_end);
    }
    *operation = found;
    *cursor = found.end;
    return true;
}

OperationCursor list_end(const PendingValue& value, bool* closed) {
    OperationCursor cursor = 0;
    Operation operation;
    while (next_operation(value, &cursor, &operation)) {
    }
    *closed = cursor < unit_count(value);
    return *closed ? cursor + 1 : cursor;
}

bool ends_in_lone_source(const PendingValue& value) {
    OperationCursor cursor = 0;
    Operation operation;
    bool any = false;
    while (next_operation(value, &cursor, &operation)) any = true;
    return any && !operation.has_target;
}

// FNV-1a, a 64-bit word at a time. Each step is a bijection of the state,
// so a change in any one word always shows; callers compare sizes apart.
std::uint64_t fingerprint(const PendingValue& value, std::uint32_t size) {
    const std::uint64_t prime = 0x100000001b3ull;
    std::uint64_t hash = (0xcbf29ce484222325ull ^ value.type) * prime;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(value.units);
    std::uint32_t at = 0;
    for (; at + 8 <= size; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        hash = (hash ^ word) * prime;
    }
    for (; at < size; ++at) hash = (hash ^ bytes[at]) * prime;
    return hash;
}

std::uint32_t closing_units_missing(const PendingValue& value) {
    OperationCursor cursor = 0;
    Operation operation;
    bool any = false;
    while (next_operation(value, &cursor, &operation)) any = true;
    OperationCursor units = unit_count(value);
    if (cursor < units) return 0;                                 // the list ends at an empty string
    std::uint32_t missing = 1;                                    // the closing empty string
    if (units > 0 && value.units[units - 1] != u'\0') ++missing;  // the last string's own NUL
    if (any && !operation.has_target) ++missing;                  // the empty target of a delete
    return missing;
}

bool lock_pending_operations(const Platform& platform, LockToken* token) {
    std::uint32_t status = platform.lock.lock(platform.lock.context, token);
    if (status == ERROR_CODE_SUCCESS) return true;
    // A user without an administrator's rights is refused access: that is
    // the reason to give, not another program; so is a body's own reason
    // (a hive file that changed under the lock).
    if (status == ERROR_CODE_ACCESS_DENIED || (status & APPLICATION_CODE_BIT) != 0) {
        print_system_error(platform, status);
    } else {
        print_error(platform, LOCK_HELD_TEXT);
    }
    return false;
}

bool names_match(const char16_t* left, std::size_t left_length, const char16_t* right, std::size_t right_length) {
    if (left_length != right_length) return false;
    for (std::size_t i = 0; i < left_length; ++i) {
        char16_t a = left[i];
        char16_t b = right[i];
        if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
        if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
        if (a != b) return false;
    }
    return true;
}

std::size_t name_length(const char16_t* name) { return std::char_traits<char16_t>::length(name); }
