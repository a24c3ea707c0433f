#pragma once

#include "pending/pending_value.h"
#include "platform/platform.h"

// How often a value is read and searched again when it changed between the
// read the search was made on and the read just before the write; then
// nothing is written, with this text.
constexpr int CANCEL_TRIES = 8;
constexpr char CHANGING_TEXT[] = "the pending operations kept changing while they were read; nothing was changed";

// "/c": removes the first pending operation whose source name matches
// `source` and, when `target` is not null, whose target name matches
// `target`, looking in the first value at `place` and then in the second,
// and writes back the value that held it. Gives the exit status.
int cancel_pending_operation(const Platform& platform, const PendingPlace& place, const char16_t* source,
                             const char16_t* target);
