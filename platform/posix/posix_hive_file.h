// A SYSTEM or SOFTWARE hive file on Linux, as platform/hive_file.h reads
// it: read where it lies (a regular file, a page at a time as the reading
// needs it) or whole (a pipe or a device), its logs found beside the file
// it leads to, and replaced whole by a new file for a change.
#pragma once

#include <string>

#include "platform/hive_file.h"

// Opens FILE (`path` as typed), or with `sibling` the file of that name
// beside the one FILE leads to (matched without regard to case; the name
// as given first). With `write` (for /c), it must lead to a regular file of
// one name that the user may write, checked before anything is read. Gives
// 0 and the calls over it, or the body's code.
std::uint32_t open_posix_hive(const std::string& path, const char* sibling, bool write, HiveFileCalls* calls);
