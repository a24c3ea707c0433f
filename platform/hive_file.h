// Hive files, for the bodies that open them (the Linux program, and the
// Windows program's /hive FILE): the registry's calls on the keys of
// RegistryRoot::hive_file and software_file, read through the hive module
// on demand, with the pages of the transaction logs standing over the
// file's; a change written as a whole new hive. No system calls here: the
// body opens the file and gives the calls that touch it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// What is wrong with a hive file (hive_code_text gives the words). The
// application bit makes a JSON document give them as 0.
constexpr std::uint32_t HIVE_NOT_A_HIVE = 0x20010001;
constexpr std::uint32_t HIVE_TRUNCATED = 0x20010002;
constexpr std::uint32_t HIVE_BAD_CHECKSUM = 0x20010003;
constexpr std::uint32_t HIVE_CORRUPT = 0x20010004;
constexpr std::uint32_t HIVE_VALUE_TOO_LARGE = 0x20010005;
constexpr std::uint32_t HIVE_CUT_SHORT = 0x20010006;
constexpr std::uint32_t HIVE_STILL_DIRTY = 0x20010009;
constexpr std::uint32_t HIVE_DAMAGED_KEYS = 0x2001000A;
constexpr std::uint32_t HIVE_DAMAGED_VALUES = 0x2001000B;
constexpr std::uint32_t HIVE_CHANGED = 0x2001000C;
constexpr std::uint32_t HIVE_SEQUENCE_EXHAUSTED = 0x2001000D;
constexpr std::uint32_t HIVE_LOG_UNREADABLE = 0x2001000E;
constexpr std::uint32_t HIVE_LOG_AMBIGUOUS = 0x2001000F;
constexpr std::uint32_t HIVE_LOG_TOO_LARGE = 0x20010010;
// What a body finds under a file's name instead of a file.
constexpr std::uint32_t HIVE_FOLDER = 0x20010012;
constexpr std::uint32_t HIVE_NOT_A_FILE = 0x20010013;
constexpr std::uint32_t HIVE_LOG_CHANGING = 0x20010014;
// The check before a write found damage, or a value Windows does not read in
// the key written: hive_damage_units says what and where.
constexpr std::uint32_t HIVE_DAMAGED = 0x20010015;

// The words for a hive code, or null for any other code (and for
// HIVE_DAMAGED, whose words name keys and values).
const char* hive_code_text(std::uint32_t code);
// What the last check before a write found damaged, and where.
const char16_t* hive_damage_units();

// One opened hive file, as the body gives it. Each call gives 0 or the
// body's code (a code the body's system_error_text knows).
struct HiveFileCalls {
    void* context;  // the body's record of the file
    // The file's length, as far as it can be read.
    std::uint64_t (*length)(void* context);
    // Reads `length` bytes at `offset`; *got is less only at the file's end.
    std::uint32_t (*read)(void* context, std::uint64_t offset, unsigned char* out, std::size_t length,
                          std::size_t* got);
    // FILE.LOG1 (`which` 0) or FILE.LOG2 (1) beside the file FILE leads to,
    // read whole into memory the body keeps until the file is closed: 0;
    // ERROR_CODE_FILE_NOT_FOUND when there is none; else why it could not
    // be read (HIVE_LOG_AMBIGUOUS: two names differing only in case).
    // `*name` is its name, or both names.
    std::uint32_t (*read_log)(void* context, int which, const unsigned char** bytes, std::size_t* size,
                              std::u16string* name);
    // Whether FILE is still what was read: no other program wrote it since.
    bool (*unchanged)(void* context);
    // Takes the lock that bootmove processes changing the file take in turn,
    // and opens FILE again once it is had (another one may have replaced it).
    std::uint32_t (*lock)(void* context);
    void (*unlock)(void* context);
    // Replaces FILE whole with `bytes`: at every instant FILE is the old
    // hive or the new one.
    std::uint32_t (*replace)(void* context, const unsigned char* bytes, std::size_t size);
    void (*close)(void* context);
};

// Reads the hive of the file `calls` holds as `root`: its base block, and
// the logs when it is dirty or `write` (whose numbers a change must pass).
// The hive then holds the calls until the process ends.
std::uint32_t load_hive(RegistryRoot root, const HiveFileCalls& calls, bool write, HiveLoad* load);

// Lets both hives go, their calls closed, and every key opened in them.
void release_hives();

// The registry's calls on keys under the hive roots. Their keys are odd
// numbers, so that a body can tell them from its own (Windows' are
// multiples of 4).
inline bool is_hive_key(RegistryKey key) { return (key & 1) != 0; }
std::uint32_t hive_open_key(RegistryRoot root, const char16_t* path, RegistryKey* key);
std::uint32_t hive_query_value(RegistryKey key, const char16_t* name, std::uint32_t* type, unsigned char* data,
                               std::uint32_t* size);
std::uint32_t hive_enum_value(RegistryKey key, std::uint32_t index, char16_t* name, std::uint32_t* length);
// The value's data written into the hive as Windows stores it, every other
// cell as it was, after the whole hive was checked; then the file replaced.
// Only under the lock.
std::uint32_t hive_set_value(RegistryKey key, const char16_t* name, std::uint32_t type, const unsigned char* data,
                             std::uint32_t size);
// Whether a hive file is loaded at RegistryRoot::hive_file.
bool hive_file_loaded();
// The lock on the file at RegistryRoot::hive_file; once had, the hive is
// read again for the change, which must then be one Windows would load
// without its logs (HIVE_STILL_DIRTY, HIVE_LOG_UNREADABLE otherwise).
std::uint32_t hive_lock(LockToken* token);
void hive_unlock(LockToken token);
