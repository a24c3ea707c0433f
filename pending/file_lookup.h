// Whether anything is at the names of the pending operations now, looked for
// as the restart will see the file system, and which operations are stale:
// their source is gone, so the restart does nothing with them.
#pragma once

#include <cstdint>

#include "pending/pending_value.h"
#include "platform/platform.h"

// What a lookup found: 0 when something is there, else the system's code.
// A name that cannot be looked up as the restart would take it (relative to
// a working directory, say) is not looked up at all.
constexpr std::uint32_t NAME_NOT_LOOKED_UP = 0xFFFFFFFFu;

// Looks for `name` of `value`. A name stored behind "\??\" is looked for as
// the restart acts on it, behind "\\?\", which Windows passes on as it
// stands (a trailing dot kept, no MAX_PATH): the prefix in the buffer is
// turned into that for the call. Other names are looked up only when they
// are absolute (a drive letter and a backslash, or \\server\...). The name
// ends at its string's NUL, or at one put just past the data. The caller
// turns the file system's redirection off around its lookups.
std::uint32_t look_up_name(const Platform& platform, PendingValue& value, StoredName name);

// "true", "false", or "null" when the file system could not tell, for a
// lookup's result. A sharing violation means something is there.
const char* existence_text(std::uint32_t lookup);

// Whether the operation is stale: its source is a drive-letter name on a
// drive whose root exists now, and the lookup says that neither the file nor
// its folder is there. Whatever cannot be decided is not stale.
bool operation_is_stale(const Platform& platform, PendingValue& value, const Operation& operation);
