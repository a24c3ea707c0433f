// The pending-operations values: where they live, how they are read into
// memory, and how their strings pair up into operations.
//
// The data is a run of NUL-terminated UTF-16LE strings, whatever the value's
// type says: that is how the system reads it at the next start. The strings
// pair up by position, as the restart takes them: the first string is a
// source and the second its target, the third a source, and so on. A target
// is "!\??\C:\b.txt" for a move that replaces what is there, "\??\C:\b.txt"
// for one that does not, and the empty string for a delete. The list ends at
// an empty string where a source would begin, or at the end of the data;
// units after that, and an odd last byte, are kept but never interpreted.
//
// Current Windows puts a mark in front of the NT prefix: '*' and a few ASCII
// digits, as in "*1\??\C:\a.txt" and, for a target that replaces,
// "*1!\??\C:\b.txt". The mark is bookkeeping, not part of the name; it is
// taken as a mark only where "\??\" (in a target "!\??\" or "\??\")
// follows it directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Where the values are: a key path under a root.
struct PendingPlace {
    RegistryRoot root;
    const char16_t* key_path;
};

// The running system's.
constexpr PendingPlace RUNNING_SYSTEM = {RegistryRoot::local_machine,
                                         u"SYSTEM\\CurrentControlSet\\Control\\Session Manager"};
// The restart carries out the operations of the first value, then those of
// the second.
constexpr const char16_t* const PENDING_VALUE_NAMES[] = {u"PendingFileRenameOperations",
                                                         u"PendingFileRenameOperations2"};
constexpr std::size_t PENDING_VALUE_COUNT = sizeof PENDING_VALUE_NAMES / sizeof PENDING_VALUE_NAMES[0];

// How often a value that outgrew the read's room between its size and its
// data is read again before the failure is reported.
constexpr int PENDING_READ_TRIES = 5;

// The in-memory copy of one value. `units` holds its `size` bytes (size / 2
// units, then the odd byte when the size is odd) and room for at least six
// bytes more; it belongs to the command that read it.
struct PendingValue {
    std::uint32_t type;
    std::uint32_t size;
    char16_t* units;
};

// A position inside the value's data, in units.
using OperationCursor = std::uint32_t;

// A name as it stands inside the data: `length` units from `start`, without
// the replace marker and the NT prefix.
struct StoredName {
    OperationCursor start;
    std::uint32_t length;
};

enum class OperationKind {
    move,         // a source string followed by a non-empty target string
    delete_file,  // a source string followed by an empty string, or by nothing
};

// One operation of the walk. `begin` and `end` bound its units as stored,
// both strings and their NULs included.
struct Operation {
    OperationKind kind;
    OperationCursor begin;
    OperationCursor end;
    StoredName source;
    StoredName target;  // empty unless kind is move
    // The strings whole, as stored: marks, '!' and prefix included.
    StoredName stored_source;
    StoredName stored_target;
    bool has_target;  // false when the data ended before a target string
    bool replace;     // the target carries '!' (after a mark too)
};

// Opens the key that holds the values with `access`; gives 0 or the
// system's error code.
std::uint32_t open_pending_key(const Platform& platform, const PendingPlace& place, std::uint32_t access,
                               RegistryKey* key);

// Reads the value `name` of `key`; gives 0 or the system's error code
// (ERROR_CODE_NOT_ENOUGH_MEMORY when no buffer could be had), and on failure
// holds nothing. A value that grows while it is read is read again.
std::uint32_t read_pending_value(const Platform& platform, RegistryKey key, const char16_t* name, PendingValue* value);

void release_pending_value(const Platform& platform, PendingValue* value);

// The number of whole units in the data.
inline std::uint32_t unit_count(const PendingValue& value) { return value.size / 2; }

// The position four units on when the string at `cursor` begins with
// exactly "\??\", else `cursor`. Never looks past the string's NUL or the
// data's end.
OperationCursor strip_nt_prefix(const PendingValue& value, OperationCursor cursor);

// Where the name begins in the source string at `cursor`: past a mark and
// the prefix, or past the prefix alone.
OperationCursor source_name_start(const PendingValue& value, OperationCursor cursor);

// Where the name begins in the target string at `cursor`: past a leading
// '!' and then the prefix, or past a mark, an optional '!' and the prefix.
// `replace` tells whether a '!' was passed.
OperationCursor target_name_start(const PendingValue& value, OperationCursor cursor, bool* replace);

// The position just past the NUL that ends the string at `cursor`, or the
// data's end when the string has no NUL inside the data.
OperationCursor next_string(const PendingValue& value, OperationCursor cursor);

// Reads the operation at `*cursor` into `operation` and moves the cursor past
// it. Gives false, leaving both alone, when the list has ended.
bool next_operation(const PendingValue& value, OperationCursor* cursor, Operation* operation);

// Where the list ends: just past its closing empty string (`*closed`), or
// the end of the whole units when the walk reaches it without one.
OperationCursor list_end(const PendingValue& value, bool* closed);

// Whether the list runs to the end of the data with a source that has no
// target string after it: the restart may pair that source with the first
// string of the value it reads next.
bool ends_in_lone_source(const PendingValue& value);

// Tells whether a value read again still holds what it held, without a
// second copy: a fingerprint of its type and its first `size` bytes.
std::uint64_t fingerprint(const PendingValue& value, std::uint32_t size);

// How many NUL units the data lacks at its end for an operation appended
// after it to pair up as its own (0 to 3): the system's append takes the
// last unit for the list's closing empty string and writes over it. When
// the walk reaches the end of the data without that empty string, the last
// string may lack its NUL, a last source its empty target, and the list its
// closing empty string. A list that ends at an empty string lacks nothing.
std::uint32_t closing_units_missing(const PendingValue& value);

// Why a change was refused when another program keeps the lock.
constexpr char LOCK_HELD_TEXT[] = "another program holds the lock on the pending operations; nothing was changed";

// Takes the lock around a change of the pending operations. When it cannot
// be had, says why and gives false: the system's text when access to it was
// refused, else that another program holds it.
bool lock_pending_operations(const Platform& platform, LockToken* token);

// Names compare equal when they have the same length and every pair of
// units is equal or is the same letter A to Z in another case.
bool names_match(const char16_t* left, std::size_t left_length, const char16_t* right, std::size_t right_length);

// The length of a NUL-terminated name, in units.
std::size_t name_length(const char16_t* name);
