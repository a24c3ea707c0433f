#include "pending/cancel_pending.h"

#include <cstring>

#include "pending/pending_value.h"

namespace {

bool name_is(const PendingValue& value, StoredName stored, const char* wanted) {
    return names_match(reinterpret_cast<const char*>(value.data + stored.start), stored.length, wanted,
                       std::strlen(wanted));
}

bool find_operation(const PendingValue& value, const char* source, const char* target, Operation* match) {
    OperationCursor cursor = 0;
    Operation operation;
    while (next_operation(value, &cursor, &operation)) {
        if (operation.kind == OperationKind::orphaned_target) continue;
        if (!name_is(value, operation.source, source)) continue;
        if (target != nullptr && !name_is(value, operation.target, target)) continue;
        *match = operation;
        return true;
    }
    return false;
}

}  // namespace

int cancel_pending_operation(const Platform& platform, const char* source, const char* target, FILE* out) {
    PendingValue value;
    if (read_pending_value(platform, ACCESS_KEY_READ_WRITE, out, &value) != 0) return 1;

    Operation match;
    if (!find_operation(value, source, target, &match)) {
        std::fprintf(out, "Could not fild a matching a pending file operation\n");
        release_pending_value(platform, &value);
        return 1;
    }

    std::uint32_t removed = match.end - match.begin;
    std::uint32_t new_size = value.size - removed;
    // One byte beyond the new data, never NUL: for the string types the
    // registry also stores the byte after the given data when the data does
    // not end in NUL and that byte is NUL.
    unsigned char* rewritten =
        static_cast<unsigned char*>(platform.heap.allocate(platform.heap.context, std::size_t(new_size) + 1));
    if (rewritten == nullptr) {
        std::fprintf(out, "error: %s\n", system_error_text(ERROR_CODE_NOT_ENOUGH_MEMORY));
        release_pending_value(platform, &value);
        return 1;
    }
    std::memcpy(rewritten, value.data, match.begin);
    std::memcpy(rewritten + match.begin, value.data + match.end, value.size - match.end);
    rewritten[new_size] = 0xFF;

    const RegistryAccess& registry = platform.registry;
    std::uint32_t status =
        registry.set_value(registry.context, value.key, PENDING_VALUE_NAME, value.type, rewritten, new_size);
    if (status != ERROR_CODE_SUCCESS) std::fprintf(out, "error: %s\n", system_error_text(status));

    platform.heap.release(platform.heap.context, rewritten);
    release_pending_value(platform, &value);
    return status == ERROR_CODE_SUCCESS ? 0 : 1;
}
