#include "pending/pending_value.h"

#include <cstring>

namespace {

int report_failure(const Platform& platform, std::uint32_t code, FILE* out, PendingValue* value) {
    std::fprintf(out, "error: %s\n", system_error_text(code));
    release_pending_value(platform, value);
    return 1;
}

// The end of the string at `cursor`: its NUL, or the data's end.
OperationCursor string_end(const PendingValue& value, OperationCursor cursor) {
    if (cursor >= value.size) return value.size;
    const void* nul = std::memchr(value.data + cursor, 0, value.size - cursor);
    return nul == nullptr ? value.size
                          : static_cast<OperationCursor>(static_cast<const unsigned char*>(nul) - value.data);
}

// The name of the string from `cursor` to `end`: less the NT prefix.
StoredName name_of(const PendingValue& value, OperationCursor cursor, OperationCursor end) {
    OperationCursor name_start = strip_nt_prefix(value, cursor);
    return {name_start, end - name_start};
}

bool at_list_end(const PendingValue& value, OperationCursor cursor) {
    return cursor >= value.size || value.data[cursor] == '\0';
}

}  // namespace

int read_pending_value(const Platform& platform, std::uint32_t access, FILE* out, PendingValue* value) {
    *value = PendingValue{};
    const RegistryAccess& registry = platform.registry;
    RegistryKey key = 0;
    std::uint32_t status = registry.open_key(registry.context, PENDING_KEY_PATH, access, &key);
    if (status != ERROR_CODE_SUCCESS) return report_failure(platform, status, out, value);
    value->key = key;

    std::uint32_t size = 0;
    status = registry.query_value(registry.context, key, PENDING_VALUE_NAME, &value->type, nullptr, &size);
    if (status != ERROR_CODE_SUCCESS) return report_failure(platform, status, out, value);

    // An empty value still gets a buffer of its own, so that null only ever
    // means that the heap refused.
    value->data = static_cast<unsigned char*>(platform.heap.allocate(platform.heap.context, size == 0 ? 1 : size));
    if (value->data == nullptr) return report_failure(platform, ERROR_CODE_NOT_ENOUGH_MEMORY, out, value);

    std::uint32_t stored = size;
    status = registry.query_value(registry.context, key, PENDING_VALUE_NAME, &value->type, value->data, &stored);
    if (status != ERROR_CODE_SUCCESS) return report_failure(platform, status, out, value);
    value->size = stored < size ? stored : size;
    return 0;
}

void release_pending_value(const Platform& platform, PendingValue* value) {
    if (value->data != nullptr) platform.heap.release(platform.heap.context, value->data);
    if (value->key != 0) platform.registry.close_key(platform.registry.context, value->key);
    *value = PendingValue{};
}

OperationCursor strip_nt_prefix(const PendingValue& value, OperationCursor cursor) {
    static const char prefix[] = "\\??\\";
    for (OperationCursor i = 0; i < 4; ++i) {
        if (cursor + i >= value.size || value.data[cursor + i] != static_cast<unsigned char>(prefix[i])) {
            return cursor;
        }
    }
    return cursor + 4;
}

OperationCursor next_string(const PendingValue& value, OperationCursor cursor) {
    OperationCursor end = string_end(value, cursor);
    return end < value.size ? end + 1 : value.size;
}

bool next_operation(const PendingValue& value, OperationCursor* cursor, Operation* operation) {
    OperationCursor begin = *cursor;
    if (at_list_end(value, begin)) return false;

    Operation found{};
    found.begin = begin;
    OperationCursor end = string_end(value, begin);
    OperationCursor after = end < value.size ? end + 1 : value.size;
    if (value.data[begin] == '!') {
        found.kind = OperationKind::orphaned_target;
        found.source = name_of(value, begin + 1, end);
        found.end = after;
    } else if (at_list_end(value, after)) {
        // An empty target string, or none inside the data: a delete.
        found.kind = OperationKind::delete_file;
        found.source = name_of(value, begin, end);
        found.end = after < value.size ? after + 1 : value.size;
    } else {
        found.kind = OperationKind::move;
        found.source = name_of(value, begin, end);
        OperationCursor target_end = string_end(value, after);
        found.target = name_of(value, value.data[after] == '!' ? after + 1 : after, target_end);
        found.end = target_end < value.size ? target_end + 1 : value.size;
    }
    *operation = found;
    *cursor = found.end;
    return true;
}

bool names_match(const char* left, std::size_t left_length, const char* right, std::size_t right_length) {
    if (left_length != right_length) return false;
    for (std::size_t i = 0; i < left_length; ++i) {
        unsigned char a = static_cast<unsigned char>(left[i]);
        unsigned char b = static_cast<unsigned char>(right[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}
