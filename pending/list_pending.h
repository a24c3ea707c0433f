#pragma once

#include <cstdio>

#include "platform/platform.h"

// "/l": prints one line per pending operation. Gives the exit status.
int list_pending_operations(const Platform& platform, FILE* out);
