// The operating-system services bootmove uses, as plain records of function
// pointers, so that the logic in cli/ and pending/ runs unchanged against
// whichever body the build picks: the Win32 body (win32/), the body over
// SYSTEM hive files on Linux (hive/), or the in-memory body the tests use
// (tests/memory/). Handles are fixed here at pointer
// width, once, so the logic carries no width-dependent types of its own.
//
// Names are UTF-16 from end to end: as Windows passes them on the command
// line, as the registry and the file system keep them. Nothing on their way
// to the system goes through a code page; only the output decides how a name
// is shown.
#pragma once

#include <cstddef>
#include <cstdint>

using RegistryKey = std::uintptr_t;
using SearchHandle = std::uintptr_t;
using RedirectionToken = std::uintptr_t;
using LockToken = std::uintptr_t;

constexpr SearchHandle INVALID_SEARCH_HANDLE = ~SearchHandle(0);

constexpr std::uint32_t ERROR_CODE_SUCCESS = 0;
constexpr std::uint32_t ERROR_CODE_FILE_NOT_FOUND = 2;
constexpr std::uint32_t ERROR_CODE_PATH_NOT_FOUND = 3;
constexpr std::uint32_t ERROR_CODE_ACCESS_DENIED = 5;
constexpr std::uint32_t ERROR_CODE_NOT_ENOUGH_MEMORY = 8;
constexpr std::uint32_t ERROR_CODE_MORE_DATA = 234;
constexpr std::uint32_t ERROR_CODE_WAIT_TIMEOUT = 258;
constexpr std::uint32_t ERROR_CODE_NOT_SUPPORTED = 50;
constexpr std::uint32_t ERROR_CODE_NO_MORE_ITEMS = 259;
// Codes with this bit set are a body's own (Windows leaves the bit to
// applications); system_error_number says which of them carry a number of
// the system's.
constexpr std::uint32_t APPLICATION_CODE_BIT = 0x20000000;
// A value that is there but stored in a form Windows does not read (a hive
// file's cells disagree with the value's size): the restart reads none of
// it. Only the bodies that read hive files give it.
constexpr std::uint32_t ERROR_CODE_VALUE_UNREADABLE = 0x20010011;

constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY_BIT = 0x10;

constexpr std::uint32_t VALUE_TYPE_MULTI_SZ = 7;

constexpr std::uint32_t ACCESS_KEY_READ = 0x20019;
constexpr std::uint32_t ACCESS_KEY_READ_WRITE = 0x2001F;
// Added to an access mask: the 64-bit or the 32-bit view of SOFTWARE,
// whatever the program's own width (KEY_WOW64_64KEY, KEY_WOW64_32KEY).
constexpr std::uint32_t ACCESS_VIEW_64 = 0x0100;
constexpr std::uint32_t ACCESS_VIEW_32 = 0x0200;

constexpr std::uint32_t MOVE_REPLACE_EXISTING = 1;
constexpr std::uint32_t MOVE_DELAY_UNTIL_REBOOT = 4;

// Names must be shorter than this many UTF-16 units.
constexpr std::size_t MAX_NAME_LENGTH = 260;
constexpr std::size_t ERROR_TEXT_CAPACITY = 256;

constexpr std::uint32_t VALUE_TYPE_DWORD = 4;

// The roots a key is opened under: the running system's keys, and where
// `reg load` puts a hive (HKLM\NAME or HKU\NAME).
enum class RegistryRoot {
    local_machine,  // HKEY_LOCAL_MACHINE
    users,          // HKEY_USERS
    hive_file,      // the root key of the hive file that load_hive_file opened
    software_file,  // the root key of the SOFTWARE hive file opened beside it
};

// What loading a hive file found. A hive Windows did not close cleanly (its
// header's two sequence numbers differ) waits for changes in its
// transaction logs, FILE.LOG1 and FILE.LOG2, which are applied as Windows
// applies them when it loads the hive.
struct HiveLoad {
    // Dirty, and no entry of its logs applies: changes may be missing.
    bool unclean;
    std::uint32_t entries_applied;
    // A transaction log that is there but could not be read, or two names
    // that could both be one log: what and why, in the body's words; empty
    // when there is none. Changes may then be missing as well.
    char16_t log_problem[512];
};

// The registry calls return 0 on success, else the system error code. Key
// paths and value names are UTF-16; data are the value's bytes as stored.
struct RegistryAccess {
    void* context;
    // Opens a subkey of `root`.
    std::uint32_t (*open_key)(void* context, RegistryRoot root, const char16_t* path, std::uint32_t access,
                              RegistryKey* key);
    // With data null, asks only for the size. `size` is in/out, in bytes.
    std::uint32_t (*query_value)(void* context, RegistryKey key, const char16_t* name, std::uint32_t* type,
                                 unsigned char* data, std::uint32_t* size);
    std::uint32_t (*set_value)(void* context, RegistryKey key, const char16_t* name, std::uint32_t type,
                               const unsigned char* data, std::uint32_t size);
    std::uint32_t (*delete_value)(void* context, RegistryKey key, const char16_t* name);
    // The name of the value at `index` (0 on) of `key`, NUL-terminated in
    // `*length` units at most; gives 0 and the name's length in `*length`,
    // ERROR_CODE_NO_MORE_ITEMS past the last value, ERROR_CODE_MORE_DATA
    // when the name does not fit.
    std::uint32_t (*enum_value)(void* context, RegistryKey key, std::uint32_t index, char16_t* name,
                                std::uint32_t* length);
    void (*close_key)(void* context, RegistryKey key);
    // The key's full name in the kernel's namespace, such as
    // \REGISTRY\MACHINE\SYSTEM, NUL-terminated in at most `capacity` units:
    // where a key reached through a registry link really is. Not every body
    // can tell; it then gives a code other than 0.
    std::uint32_t (*kernel_name)(void* context, RegistryKey key, char16_t* name, std::size_t capacity);
    // Opens the hive in the file `file` as `root` (hive_file, or
    // software_file), to read, or with `write` to change: each value set is
    // then committed to the file whole. With `sibling`, the file of that
    // name beside the one `file` leads to (the name compared without regard
    // to case) is opened instead; ERROR_CODE_FILE_NOT_FOUND when there is
    // none. `*load` tells what was found beside the hive. Only the bodies
    // that open hive files have it.
    std::uint32_t (*load_hive_file)(void* context, RegistryRoot root, const char16_t* file, const char16_t* sibling,
                                    bool write, HiveLoad* load);
};

// The file calls report failure by their result and leave the code for
// get_last_error.
struct FileSystemAccess {
    void* context;
    // A 32-bit program on 64-bit Windows sees C:\Windows\System32 redirected
    // to SysWOW64, but the restart does not: the existence check turns the
    // redirection off around its search. Elsewhere these do nothing.
    RedirectionToken (*disable_redirection)(void* context);
    void (*revert_redirection)(void* context, RedirectionToken token);
    SearchHandle (*find_first_file)(void* context, const char16_t* pattern);
    void (*find_close)(void* context, SearchHandle search);
    // The attributes of what is at `name` (a directory's name may end in a
    // backslash); gives 0 or the system's error code.
    std::uint32_t (*file_attributes)(void* context, const char16_t* name, std::uint32_t* attributes);
    // `target` is null for a delete. Non-zero on success. The last error is
    // cleared first, so that a refusal without a code of its own reads 0.
    int (*move_file_ex)(void* context, const char16_t* source, const char16_t* target, std::uint32_t flags);
    std::uint32_t (*get_last_error)(void* context);
    // Whether two names are one name to the file system, which compares
    // them unit by unit in upper case by its own table (Unicode's simple
    // upper case, not only A to Z). True also when it cannot tell: a name
    // taken for another one is never called gone for that.
    bool (*same_name)(void* context, const char16_t* left, std::size_t left_length, const char16_t* right,
                      std::size_t right_length);
};

// Heap buffers for the value's data; allocate gives null when it cannot.
struct HeapAccess {
    void* context;
    void* (*allocate)(void* context, std::size_t size);
    void (*release)(void* context, void* block);
};

// One lock, across every bootmove process of the machine, held while a
// command changes the pending operations, so that two bootmove processes
// never read and rewrite them at the same time. Other programs do not take
// it. `lock` waits for it and gives 0, or the system's error code when it
// could not be had (ERROR_CODE_WAIT_TIMEOUT when another holder kept it);
// the command then changes nothing.
struct LockAccess {
    void* context;
    std::uint32_t (*lock)(void* context, LockToken* token);
    void (*unlock)(void* context, LockToken token);
};

// Where what the tool prints goes.
enum class OutputStream {
    standard,  // listings, documents, what a command announces
    errors,    // error lines, and the usage after a wrong form
    // Notes and warnings beside a listing: the error stream on Windows as
    // well, so that what a listing writes to standard output stays the same.
    warnings,
};

// Standard output: one buffered writer for everything the tool prints.
struct OutputAccess {
    void* context;
    // The tool's own texts and the system's messages: bytes in the ANSI code
    // page, "\n" ending a line.
    void (*write_text)(void* context, const char* text, std::size_t length);
    // A name, exactly as typed or stored.
    void (*write_name)(void* context, const char16_t* name, std::size_t length);
    // Writes out what is held; false when any of the output could not be
    // written.
    bool (*flush)(void* context);
    // A line of ASCII on the error stream, at once: a warning beside the
    // output.
    void (*write_error)(void* context, const char* text, std::size_t length);
    // Sends what is written next to `stream`. A body that keeps the error
    // stream apart (Linux) sends errors there; elsewhere (Windows, where
    // they have always been part of standard output) nothing changes.
    void (*use_stream)(void* context, OutputStream stream);
};

struct Platform {
    RegistryAccess registry;
    FileSystemAccess files;
    HeapAccess heap;
    LockAccess lock;
    OutputAccess output;
    // A Windows runs here, whose registry, files and delayed moves the
    // commands act on; else there are only hive files (RegistryRoot::hive_file).
    bool running_system;
};

// The system's message text for an error code in the ANSI code page, line
// ending included, in one static buffer of ERROR_TEXT_CAPACITY bytes that
// every call overwrites. Empty when the system has no text for the code.
const char* system_error_text(std::uint32_t code);
// The same text in UTF-16, in one static buffer of ERROR_TEXT_CAPACITY units.
const char16_t* system_error_units(std::uint32_t code);
// The system's own number for a code, as a JSON document gives it (errno on
// Linux); 0 for a failure of the tool's own.
std::uint32_t system_error_number(std::uint32_t code);

// Conveniences over the writer for the logic's own texts and names.
inline void print_text(const Platform& platform, const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    platform.output.write_text(platform.output.context, text, length);
}

inline void print_name(const Platform& platform, const char16_t* name, std::size_t length) {
    platform.output.write_name(platform.output.context, name, length);
}

// A number in decimal digits.
inline void print_number(const Platform& platform, std::uint32_t number) {
    char digits[10];
    std::size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    platform.output.write_text(platform.output.context, digits + at, sizeof digits - at);
}

// A whole NUL-terminated name, as given on the command line.
inline void print_name(const Platform& platform, const char16_t* name) {
    std::size_t length = 0;
    while (name[length] != u'\0') ++length;
    print_name(platform, name, length);
}

// What is printed between the two goes to the error stream (see use_stream).
inline void begin_errors(const Platform& platform) {
    platform.output.use_stream(platform.output.context, OutputStream::errors);
}

inline void end_warnings(const Platform& platform) {
    platform.output.use_stream(platform.output.context, OutputStream::standard);
}

inline void end_errors(const Platform& platform) {
    platform.output.use_stream(platform.output.context, OutputStream::standard);
}

// What is printed between the two goes to the stream of notes and warnings.
inline void begin_warnings(const Platform& platform) {
    platform.output.use_stream(platform.output.context, OutputStream::warnings);
}

// "error: " and `text`, then a line feed.
inline void print_error(const Platform& platform, const char* text) {
    begin_errors(platform);
    print_text(platform, "error: ");
    print_text(platform, text);
    print_text(platform, "\n");
    end_errors(platform);
}

// "error: " and the system's text for `code`, then a line feed.
inline void print_system_error(const Platform& platform, std::uint32_t code) {
    print_error(platform, system_error_text(code));
}
