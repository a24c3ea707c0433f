// The platform services over in-memory registry values, file system and
// standard output, for running the logic on any machine. Every call is
// logged, any call can be made to fail with a chosen code, and what is held
// (open keys, open searches, heap blocks) is counted so that leaks show. Its
// ANSI code page is 1252, as Wine's is by default.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/text_output.h"

constexpr std::uint32_t VALUE_TYPE_SZ = 1;
constexpr std::uint32_t VALUE_TYPE_EXPAND_SZ = 2;
constexpr std::uint32_t VALUE_TYPE_BINARY = 3;

// The names of the calls, as logged and as named in a MemoryFailure.
constexpr const char CALL_OPEN_KEY[] = "open_key";
constexpr const char CALL_QUERY_SIZE[] = "query_size";  // query_value without a buffer
constexpr const char CALL_QUERY_DATA[] = "query_data";  // query_value with a buffer
constexpr const char CALL_SET_VALUE[] = "set_value";
constexpr const char CALL_DELETE_VALUE[] = "delete_value";
constexpr const char CALL_ENUM_VALUE[] = "enum_value";
constexpr const char CALL_KERNEL_NAME[] = "kernel_name";
constexpr const char CALL_LOAD_HIVE_FILE[] = "load_hive_file";
constexpr const char CALL_CLOSE_KEY[] = "close_key";
constexpr const char CALL_DISABLE_REDIRECTION[] = "disable_redirection";
constexpr const char CALL_REVERT_REDIRECTION[] = "revert_redirection";
constexpr const char CALL_FIND_FIRST_FILE[] = "find_first_file";
constexpr const char CALL_FIND_CLOSE[] = "find_close";
constexpr const char CALL_FILE_ATTRIBUTES[] = "file_attributes";
constexpr const char CALL_MOVE_FILE_EX[] = "move_file_ex";
constexpr const char CALL_GET_LAST_ERROR[] = "get_last_error";
constexpr const char CALL_SAME_NAME[] = "same_name";  // a failure counts as the same name
constexpr const char CALL_ALLOCATE[] = "allocate";
constexpr const char CALL_RELEASE[] = "release";
constexpr const char CALL_LOCK[] = "lock";
constexpr const char CALL_UNLOCK[] = "unlock";

// Makes the `occurrence`-th call (1 for the first) of `call` fail with
// `code`. An allocation that fails gives null and ignores the code.
struct MemoryFailure {
    std::string call;
    int occurrence;
    std::uint32_t code;
};

struct MemoryValue {
    bool present;
    std::uint32_t type;
    std::vector<unsigned char> data;
};

// Another program's write: just before the `occurrence`-th call of `call`,
// the first value (or the second) becomes `value`.
struct MemoryChange {
    std::string call;
    int occurrence;
    bool second;
    MemoryValue value;
};

struct MemoryPlatformState {
    // "PendingFileRenameOperations" and "PendingFileRenameOperations2" of the
    // running system, under HKLM\SYSTEM\CurrentControlSet\Control\Session
    // Manager; its other values are in `keys`.
    MemoryValue value{};
    MemoryValue second{};
    // Every other key, as u"HKLM\OFFSYS\Select" or u"HKU\...", and its values
    // by name; a key here exists even without values. Matched without regard
    // to the case of A to Z.
    std::map<std::u16string, std::map<std::u16string, MemoryValue>> keys;
    // Keys, as in `keys`, that open_key refuses with access denied.
    std::set<std::u16string> denied;
    // Where a key really is, when a registry link leads to it (as in `keys`,
    // to u"\\REGISTRY\\MACHINE\\SYSTEM"); any other key's name is its own.
    std::map<std::u16string, std::u16string> kernel_names;
    // Files and directories that exist, as full names such as u"C:\dir\a.txt"
    // and u"C:\dir\sub\" (a directory ends in a backslash; the folders
    // above an entry exist too); matched without regard to the case of A to
    // Z, with '*' and '?' in a search pattern.
    std::set<std::u16string> entries;
    // Where relative names are resolved by move_file_ex.
    std::u16string current_directory = u"C:\\";
    // move_file_ex records as current Windows does, with the mark "*1" in
    // front of each name's prefix, instead of as Wine does.
    bool marked_records = false;
    // A 32-bit process on 64-bit Windows: while redirection is on, a search
    // under C:\Windows\System32 looks in C:\Windows\SysWOW64 instead.
    bool wow64 = false;
    // No Windows runs here, as on Linux: only the hive file that
    // load_hive_file opens, whose keys are in `keys` as u"HIVE\\Select".
    bool running_system = true;
    std::uint32_t hive_file_code = 0;  // what load_hive_file gives
    // What it gives for the SOFTWARE hive beside the file, whose keys are in
    // `keys` as u"SOFT\\Microsoft\\...".
    std::uint32_t software_file_code = ERROR_CODE_FILE_NOT_FOUND;
    bool hive_file_unclean = false;
    // Standard output is a console rather than a file or pipe.
    bool console = false;
    // The ANSI code page is UTF-8 instead of 1252.
    bool utf8_code_page = false;
    // Standard output refuses every write, as a full disk or a closed pipe.
    bool output_refused = false;
    // Standard output takes every write and keeps nothing, as NUL does.
    bool output_discarded = false;
    std::vector<MemoryFailure> failures;
    std::vector<MemoryChange> changes;

    // What happened.
    std::vector<std::string> calls;
    std::vector<std::u16string> opened;              // every key opened, as in `keys`
    std::vector<std::uint32_t> opened_access;        // and the access it was opened with
    std::u16string hive_file;                        // what load_hive_file was given, "+" when for writing
    std::u16string software_file;                    // FILE "|" the sibling, for the SOFTWARE hive
    std::vector<std::vector<unsigned char>> writes;  // every value written; an empty one for a delete
    std::vector<std::u16string> moves;               // u"source|target|flags" as passed
    std::string output;                              // the bytes written to a file or pipe
    std::u16string console_output;                   // the units written to a console
    std::string error_output;                        // the bytes written to the error stream
    int console_writes_ending_in_half = 0;           // writes that split a surrogate pair
    std::uint32_t last_error = 0;
    bool redirection_disabled = false;
    int open_keys = 0;
    int open_searches = 0;
    int live_blocks = 0;
    int locks_held = 0;

    std::unique_ptr<TextOutput> writer{new TextOutput};
};

Platform memory_platform(MemoryPlatformState* state);

// Fills the value as the operating system does when it records a delayed
// move: "\??\" and the full source, then "!\??\" and the full target (no '!'
// without MOVE_REPLACE_EXISTING; an empty string for a delete), then the
// closing NUL, all in UTF-16; with `marked_records`, "*1\??\" and "*1!\??\".
// Gives false when the value is not REG_MULTI_SZ.
bool memory_record_move(MemoryPlatformState* state, const char16_t* source, const char16_t* target,
                        std::uint32_t flags);

// Code page 1252, the in-memory body's ANSI code page: the unit of a byte, and
// the byte of a unit ('?' when the code page has none).
char16_t code_page_unit(unsigned char byte);
char code_page_byte(char16_t unit);
