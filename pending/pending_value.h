// The pending-operations value: where it lives, how it is read into memory,
// and how its strings pair up into operations.
//
// The data is a run of NUL-terminated 8-bit strings. The operating system
// stores (source, target) pairs: a source string such as "\??\C:\a.txt", then
// its target string, which is "!\??\C:\b.txt" for a move that replaces its
// target, "\??\C:\b.txt" for one that does not, and the empty string for a
// delete. The list ends at an empty string where a source would begin, or at
// the end of the data; bytes after that are kept but never interpreted.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

constexpr const char PENDING_KEY_PATH[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const char PENDING_VALUE_NAME[] = "PendingFileRenameOperations";

// The in-memory copy of the value. `data` holds `size` bytes and belongs to
// the command that read it; release_pending_value gives back both the buffer
// and the key.
struct PendingValue {
    RegistryKey key;
    std::uint32_t type;
    std::uint32_t size;
    unsigned char* data;
};

// A position inside PendingValue::data.
using OperationCursor = std::uint32_t;

// A name as it stands inside the data: `length` bytes from `start`, without
// the replace marker and the NT prefix.
struct StoredName {
    OperationCursor start;
    std::uint32_t length;
};

enum class OperationKind {
    move,             // a source string followed by a non-empty target string
    delete_file,      // a source string followed by an empty string, or by nothing
    orphaned_target,  // a '!' string where a source string would begin
};

// One operation of the walk. `begin` and `end` bound its bytes as stored,
// both strings and their NULs included.
struct Operation {
    OperationKind kind;
    OperationCursor begin;
    OperationCursor end;
    StoredName source;  // for an orphaned target, that target's name
    StoredName target;  // empty unless kind is move
};

// Opens the key with `access` and reads the value. On failure prints
// "error: " with the system's text, releases what it took and gives 1;
// gives 0 on success.
int read_pending_value(const Platform& platform, std::uint32_t access, FILE* out, PendingValue* value);

void release_pending_value(const Platform& platform, PendingValue* value);

// The position four bytes on when the string at `cursor` begins with exactly
// "\??\", else `cursor`. Never looks past the string's NUL or the data's end.
OperationCursor strip_nt_prefix(const PendingValue& value, OperationCursor cursor);

// The position just past the NUL that ends the string at `cursor`, or the
// data's end when the string has no NUL inside the data.
OperationCursor next_string(const PendingValue& value, OperationCursor cursor);

// Reads the operation at `*cursor` into `operation` and moves the cursor past
// it. Gives false, leaving both alone, when the list has ended.
bool next_operation(const PendingValue& value, OperationCursor* cursor, Operation* operation);

// Names compare equal when they have the same length and every pair of bytes
// is equal or is the same letter A to Z in another case.
bool names_match(const char* left, std::size_t left_length, const char* right, std::size_t right_length);
