// The operating-system services bootmove uses, as plain records of function
// pointers, so that the logic in cli/ and pending/ runs unchanged against the
// Win32 body (win32_platform.cpp) or the in-memory body used by the tests
// (memory_platform.cpp). Handles are fixed here at pointer width, once, so
// the logic carries no width-dependent types of its own.
#pragma once

#include <cstddef>
#include <cstdint>

using RegistryKey = std::uintptr_t;
using SearchHandle = std::uintptr_t;

constexpr SearchHandle INVALID_SEARCH_HANDLE = ~SearchHandle(0);

constexpr std::uint32_t ERROR_CODE_SUCCESS = 0;
constexpr std::uint32_t ERROR_CODE_NOT_ENOUGH_MEMORY = 8;

constexpr std::uint32_t ACCESS_KEY_READ = 0x20019;
constexpr std::uint32_t ACCESS_KEY_READ_WRITE = 0x2001F;

constexpr std::uint32_t MOVE_REPLACE_EXISTING = 1;
constexpr std::uint32_t MOVE_DELAY_UNTIL_REBOOT = 4;

constexpr std::size_t MAX_NAME_LENGTH = 260;
constexpr std::size_t ERROR_TEXT_CAPACITY = 256;

// The registry calls return 0 on success, else the system error code.
struct RegistryAccess {
    void* context;
    // Opens a subkey of HKEY_LOCAL_MACHINE.
    std::uint32_t (*open_key)(void* context, const char* path, std::uint32_t access, RegistryKey* key);
    // With data null, asks only for the size. `size` is in/out.
    std::uint32_t (*query_value)(void* context, RegistryKey key, const char* name, std::uint32_t* type,
                                 unsigned char* data, std::uint32_t* size);
    std::uint32_t (*set_value)(void* context, RegistryKey key, const char* name, std::uint32_t type,
                               const unsigned char* data, std::uint32_t size);
    void (*close_key)(void* context, RegistryKey key);
};

// The file calls report failure by their result and leave the code for
// get_last_error.
struct FileSystemAccess {
    void* context;
    SearchHandle (*find_first_file)(void* context, const char* pattern);
    void (*find_close)(void* context, SearchHandle search);
    // `target` is null for a delete. Non-zero on success.
    int (*move_file_ex)(void* context, const char* source, const char* target, std::uint32_t flags);
    std::uint32_t (*get_last_error)(void* context);
};

// Heap buffers for the value's data; allocate gives null when it cannot.
struct HeapAccess {
    void* context;
    void* (*allocate)(void* context, std::size_t size);
    void (*release)(void* context, void* block);
};

struct Platform {
    RegistryAccess registry;
    FileSystemAccess files;
    HeapAccess heap;
};

// The system's message text for an error code, line ending included, in one
// static buffer of ERROR_TEXT_CAPACITY bytes that every call overwrites.
// Empty when the system has no text for the code.
const char* system_error_text(std::uint32_t code);
