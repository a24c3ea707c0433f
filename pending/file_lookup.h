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

// What the operations before the one being judged may create at the
// restart, which carries out the first value's operations in order and then
// the second's: the targets of their moves, a moved folder with what is in
// it. Moves whose own source is gone count too, and no delete takes a name
// away: a name is never called gone for what an earlier operation did. The
// targets are kept in a table whose hash never parts two names the file
// system takes for one; `same_name` decides.
struct TargetSlot {
    const char16_t* name;  // null: a free slot
    std::uint32_t length;
    std::uint32_t hash;
};

struct EarlierTargets {
    TargetSlot* slots;
    std::size_t mask;  // the count of slots less one
    std::size_t used;
    bool any_move;
    // A target that cannot be compared as text (read two ways, a short
    // name, no drive-letter name), so that it may be any name.
    bool any_name;
};

// How many moves a value holds, for the table's room.
std::size_t count_moves(const PendingValue& value);
// Room for the targets of `moves` moves; false when there is no memory.
bool start_earlier_targets(const Platform& platform, std::size_t moves, EarlierTargets* earlier);
void release_earlier_targets(const Platform& platform, EarlierTargets* earlier);
// Counts the target of the operation, when it moves, for the operations
// after it. The table points into the value, which must outlive it.
void add_earlier_target(EarlierTargets* earlier, const PendingValue& value, const Operation& operation);

// Whether the operation is stale: its source is a drive-letter name on a
// drive whose root exists now, no earlier operation may create it, and the
// lookup says that neither the file nor its folder is there. Whatever cannot
// be decided is not stale, nor is a name that the restart and the lookup may
// read differently.
bool operation_is_stale(const Platform& platform, PendingValue& value, const Operation& operation,
                        const EarlierTargets& earlier);

// Which operations of a value may be judged at all. When the first value
// ends in a lone source (ends_in_lone_source) and the second value exists,
// the restart may pair that source with the second value's first string and
// go on pairing across the two: the source is then no lone delete, and the
// second value's operations may be other pairs than they seem, so none of
// them is stale.
enum class Judged { every_operation, all_but_a_lone_source, no_operation };
// For value `which`, beside the first value (empty when there is none) and
// whether the second exists.
Judged judged_in(std::size_t which, const PendingValue& first, bool second_exists);

// Judges the operation as above, when `judged` lets it be, then counts its
// target for those after it.
bool judge_operation(const Platform& platform, EarlierTargets* earlier, PendingValue& value, const Operation& operation,
                     Judged judged);
