#pragma once

#include "pending/pending_value.h"
#include "platform/platform.h"

enum class ListFormat {
    text,  // "/l": one line per operation, for people
    json,  // "/l /fo json": one document, for scripts
};

// "/l": lists the operations of the first value at `place` and then those
// of the second. With `check_files` the document says whether something is
// at each name; it is null for a system that is not running. With
// `stale_only`, only the operations whose source is gone ("/l /stale"), and
// no value at all is nothing to list. A text listing where neither value
// exists fails with the system's "File not found.", or, given `absent`,
// with "error: ", `absent->name` and `absent->text`. Gives the exit status.
struct AbsentValues {
    const char16_t* name;
    const char* text;
};
int list_pending_operations(const Platform& platform, const PendingPlace& place, ListFormat format, bool check_files,
                            bool stale_only, const AbsentValues* absent);

// The line "/l" shows for an operation.
void print_operation(const Platform& platform, const PendingValue& value, const Operation& operation);

// A failure of a listing: "error: " and the system's text for `code`, or its
// error document.
void report_list_failure(const Platform& platform, ListFormat format, std::uint32_t code);
// A failure of the tool's own: "error: " and `before`, `name` and `after` on
// one line, or the error document with code 0.
void report_own_failure(const Platform& platform, ListFormat format, const char* before, const char16_t* name,
                        const char* after);
