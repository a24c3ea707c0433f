// Hive files in the Windows program: /hive FILE.
#pragma once

#include "platform/hive_file.h"

// Opens FILE, or with `sibling` the file of that name in FILE's folder, to
// read, or with `write` to change; gives 0 and the calls over it, or the
// system's code.
std::uint32_t open_win32_hive(const char16_t* file, const char16_t* sibling, bool write, HiveFileCalls* calls);
