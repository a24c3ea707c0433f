// UTF-8 and UTF-16 for the body on Linux, and the texts of its codes and
// their numbers.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

// `units` as UTF-8. A lone surrogate U+DC80 to U+DCFF is the byte it stands
// for (see posix_arguments); any other lone surrogate is U+FFFD.
std::string utf8_of(const char16_t* units, std::size_t count);
std::u16string utf16_of(const char* bytes, std::size_t count);

// The texts of the body's own codes: errno values with APPLICATION_CODE_BIT
// (strerror's words), what is wrong with a hive (platform/hive_file.h), and
// what /c refuses to replace.
constexpr unsigned HIVE_NOT_REGULAR = 0x20010007;
constexpr unsigned HIVE_OTHER_NAMES = 0x20010008;
// With an errno value: writing the changed hive failed, and FILE is as it was.
constexpr unsigned HIVE_NOT_WRITTEN = 0x20008000;
// With an errno value: what the new file could not keep of the old one.
constexpr unsigned HIVE_OWNER_NOT_KEPT = 0x20018000;
constexpr unsigned HIVE_ATTRIBUTES_NOT_KEPT = 0x20020000;

// A failure of the file system, in its own words (strerror).
inline std::uint32_t errno_code(int error) {
    return error == ENOMEM ? 8 : 0x20000000u | static_cast<std::uint32_t>(error);
}
