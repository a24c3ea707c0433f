#include "pending/list_pending.h"

#include "pending/pending_value.h"

namespace {

const char* text_at(const PendingValue& value, StoredName name) {
    return reinterpret_cast<const char*>(value.data + name.start);
}

}  // namespace

int list_pending_operations(const Platform& platform, FILE* out) {
    PendingValue value;
    if (read_pending_value(platform, ACCESS_KEY_READ, out, &value) != 0) return 1;

    // Names are printed with a length, never as a format: the last string may
    // run to the end of the data without a NUL.
    OperationCursor cursor = 0;
    Operation operation;
    while (next_operation(value, &cursor, &operation)) {
        switch (operation.kind) {
            case OperationKind::orphaned_target:
                std::fprintf(out, " -> %.*s\n", static_cast<int>(operation.source.length),
                             text_at(value, operation.source));
                break;
            case OperationKind::delete_file:
                std::fprintf(out, "File %.*s", static_cast<int>(operation.source.length),
                             text_at(value, operation.source));
                std::fprintf(out, " -> (delete)\n");
                break;
            case OperationKind::move:
                std::fprintf(out, "File %.*s", static_cast<int>(operation.source.length),
                             text_at(value, operation.source));
                std::fprintf(out, " -> %.*s\n", static_cast<int>(operation.target.length),
                             text_at(value, operation.target));
                break;
        }
    }

    release_pending_value(platform, &value);
    return 0;
}
