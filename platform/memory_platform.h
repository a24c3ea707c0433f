// The platform services over an in-memory registry value and file system,
// for running the logic on any machine. Every call is logged, any call can be
// made to fail with a chosen code, and what is held (open keys, open
// searches, heap blocks) is counted so that leaks show.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

constexpr std::uint32_t VALUE_TYPE_SZ = 1;
constexpr std::uint32_t VALUE_TYPE_BINARY = 3;
constexpr std::uint32_t VALUE_TYPE_DWORD = 4;
constexpr std::uint32_t VALUE_TYPE_MULTI_SZ = 7;

// The names of the calls, as logged and as named in a MemoryFailure.
constexpr const char CALL_OPEN_KEY[] = "open_key";
constexpr const char CALL_QUERY_SIZE[] = "query_size";  // query_value without a buffer
constexpr const char CALL_QUERY_DATA[] = "query_data";  // query_value with a buffer
constexpr const char CALL_SET_VALUE[] = "set_value";
constexpr const char CALL_CLOSE_KEY[] = "close_key";
constexpr const char CALL_FIND_FIRST_FILE[] = "find_first_file";
constexpr const char CALL_FIND_CLOSE[] = "find_close";
constexpr const char CALL_MOVE_FILE_EX[] = "move_file_ex";
constexpr const char CALL_GET_LAST_ERROR[] = "get_last_error";
constexpr const char CALL_ALLOCATE[] = "allocate";
constexpr const char CALL_RELEASE[] = "release";

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

struct MemoryPlatformState {
    MemoryValue value{};
    // Files and directories that exist, as full names such as "C:\dir\a.txt";
    // matched without regard to case, with '*' and '?' in a search pattern.
    std::set<std::string> entries;
    // Where relative names are resolved by move_file_ex.
    std::string current_directory = "C:\\";
    std::vector<MemoryFailure> failures;

    // What happened.
    std::vector<std::string> calls;
    std::vector<std::vector<unsigned char>> writes;
    std::vector<std::string> moves;  // "source|target|flags" as passed
    std::uint32_t last_error = 0;
    int open_keys = 0;
    int open_searches = 0;
    int live_blocks = 0;
};

Platform memory_platform(MemoryPlatformState* state);

// Fills the value as the operating system does when it records a delayed
// move: "\??\" and the full source, then "!\??\" and the full target (no '!'
// without MOVE_REPLACE_EXISTING; an empty string for a delete), then the
// closing NUL. Gives false when the value is not REG_MULTI_SZ.
bool memory_record_move(MemoryPlatformState* state, const char* source, const char* target, std::uint32_t flags);
