#pragma once

#include "platform/platform.h"

// The move form and "/d": checks the names, checks that the source exists,
// announces the operation and asks the platform to carry it out at the next
// start. `target` is null for a delete. Gives the exit status.
int schedule_operation(const Platform& platform, const char16_t* source, const char16_t* target);
