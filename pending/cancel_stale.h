#pragma once

#include "pending/list_pending.h"
#include "pending/pending_value.h"
#include "platform/platform.h"

// "/c /stale": cancels every operation whose source is gone, in both values
// at `place`, in one pass under the lock. Each value is written back once,
// every other byte as it was stored, or deleted when no operation is left
// in it, as the restart deletes it after reading it. Then the cancelled
// operations are listed in `format`, each value's after it was written.
// Gives the exit status.
int cancel_stale_operations(const Platform& platform, const PendingPlace& place, ListFormat format);
