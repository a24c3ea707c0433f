#include "pending/list_pending.h"

#include "pending/pending_value.h"

namespace {

// Names are written by length, never as a format: a name may hold '%', and
// the last string may run to the end of the data without a NUL.
void put_name(const PendingValue& value, StoredName name, FILE* out) {
    std::fwrite(value.data + name.start, 1, name.length, out);
}

}  // namespace

int list_pending_operations(const Platform& platform, FILE* out) {
    PendingValue value;
    if (read_pending_value(platform, ACCESS_KEY_READ, out, &value) != 0) return 1;

    OperationCursor cursor = 0;
    Operation operation;
    while (next_operation(value, &cursor, &operation)) {
        switch (operation.kind) {
            case OperationKind::orphaned_target:
                std::fputs(" -> ", out);
                put_name(value, operation.source, out);
                std::fputs("\n", out);
                break;
            case OperationKind::delete_file:
                std::fputs("File ", out);
                put_name(value, operation.source, out);
                std::fputs(" -> (delete)\n", out);
                break;
            case OperationKind::move:
                std::fputs("File ", out);
                put_name(value, operation.source, out);
                std::fputs(" -> ", out);
                put_name(value, operation.target, out);
                std::fputs("\n", out);
                break;
        }
    }

    release_pending_value(platform, &value);
    return 0;
}
