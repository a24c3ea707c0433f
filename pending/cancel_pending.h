#pragma once

#include "platform/platform.h"

// "/c": removes the first pending operation whose source name matches
// `source` and, when `target` is not null, whose target name matches
// `target`, looking in the first value and then in the second, and writes
// back the value that held it. Gives the exit status.
int cancel_pending_operation(const Platform& platform, const char16_t* source, const char16_t* target);
