#pragma once

#include "platform/platform.h"

enum class ListFormat {
    text,  // "/l": one line per operation, for people
    json,  // "/l /fo json": one document, for scripts
};

// "/l": lists the operations of the first value and then those of the
// second. Gives the exit status.
int list_pending_operations(const Platform& platform, ListFormat format);
