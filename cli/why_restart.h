// "/why": why a restart is pending. Every reason that Windows records in the
// registry, where it is recorded and what it holds: in SYSTEM, under the
// control set the next start uses, and in SOFTWARE. The reasons that only a
// running service knows are listed as not checked; nothing here asks a
// service. Gives the exit status: 0 once the report is made, pending or
// not; 1 when something that had to be read could not be, each such reason
// named with its error while the others are still reported.
#pragma once

#include "pending/list_pending.h"
#include "platform/platform.h"

// The running system: SYSTEM\CurrentControlSet, and SOFTWARE in its 64-bit
// view whatever the program's width. The stale file operations are counted.
int why_restart_running(const Platform& platform, ListFormat format);

// A SYSTEM hive loaded at `name` under `root` ("/hive KEY"; `shown` is KEY
// as typed): its Select\Current control set. SOFTWARE is not read.
int why_restart_at_key(const Platform& platform, RegistryRoot root, const char16_t* name, const char16_t* shown,
                       ListFormat format);

// The SYSTEM hive file FILE ("/hive FILE") and the SOFTWARE hive file beside
// it, when there is one.
int why_restart_in_file(const Platform& platform, const char16_t* file, ListFormat format);
