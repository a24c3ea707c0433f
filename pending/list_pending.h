#pragma once

#include "platform/platform.h"

// "/l": prints one line per pending operation, those of the first value and
// then those of the second. Gives the exit status.
int list_pending_operations(const Platform& platform);
