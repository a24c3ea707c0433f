#pragma once

#include <cstdio>

#include "platform/platform.h"

// "/c": removes the first pending operation whose source name matches
// `source` and, when `target` is not null, whose target name matches
// `target`, and writes the shortened value back. Gives the exit status.
int cancel_pending_operation(const Platform& platform, const char* source, const char* target, FILE* out);
