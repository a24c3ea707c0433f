// A SYSTEM hive of a system that is not running, loaded with `reg load` at a
// key of this one (from a recovery environment, say): where the values are
// that its next start will carry out.
#pragma once

#include <cstdint>

#include "pending/list_pending.h"
#include "pending/pending_value.h"
#include "platform/platform.h"

// KEY\ControlSetNNN\Control\Session Manager, NNN being the control set that
// KEY\Select\Current names.
struct OfflineHive {
    PendingPlace place;
    char16_t* path;        // from the heap: the key path of `place`
    char control_set[14];  // "ControlSetNNN"
};

enum class HiveSearch {
    found,
    no_hive,         // KEY absent, no Select\Current, or not a REG_DWORD from 1 to 999
    no_control_set,  // the set Select\Current names is not in the hive; `hive->control_set` names it
    failed,          // a registry call failed otherwise; `*code` says how
};

// Takes KEY as `reg load` does, HKLM\NAME, HKEY_LOCAL_MACHINE\NAME, HKU\NAME
// or HKEY_USERS\NAME (the root word in any case; NAME of one level or more).
// False when `key` is none of those.
bool parse_hive_key(const char16_t* key, RegistryRoot* root, const char16_t** name);

// Whether a word after /hive names a registry key: it begins with one of
// those root words and a backslash (in any case). Any other word is a file.
bool names_registry_key(const char16_t* word);

// Whether KEY is the running system's own SYSTEM hive, whose control sets
// are the running system's: HKLM\SYSTEM however spelled, or a key that the
// system says is \REGISTRY\MACHINE\SYSTEM (reached through a registry
// link).
bool is_running_system_hive(const Platform& platform, const char16_t* key);

// Finds the control set of the hive loaded at `name` under `root`.
HiveSearch find_hive_control_set(const Platform& platform, RegistryRoot root, const char16_t* name, OfflineHive* hive,
                                 std::uint32_t* code);

void release_hive(const Platform& platform, OfflineHive* hive);

// Finds the control set as above and, when none is found, says why in
// `format`, naming the hive `shown` (KEY or FILE as typed). False once that
// is said.
bool find_control_set_or_report(const Platform& platform, RegistryRoot root, const char16_t* name,
                                const char16_t* shown, ListFormat format, OfflineHive* hive);

// Opens the hive file FILE as RegistryRoot::hive_file, with `write` to
// change it, and says what stands in the way in `format`. A hive whose logs
// may hold newer changes is read with a warning and never changed; the
// entries of its logs that were applied are noted. False once a failure is
// reported.
bool open_hive_file_or_report(const Platform& platform, const char16_t* file, ListFormat format, bool write);
