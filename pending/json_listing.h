// The listing as one JSON document, for scripts: "/l /fo json". ASCII only,
// whatever the names hold, so that it reads the same through any code page,
// console, pipe or decoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pending/pending_value.h"
#include "platform/platform.h"

// Room `escape_json` needs for one unit.
constexpr std::size_t JSON_ESCAPE_MAX = 6;

// One unit as it stands inside a JSON string: printable ASCII as itself but
// for '"' and '\', which are escaped, and every other unit, lone surrogates
// included, as \uXXXX. Gives the count of bytes written to `out`.
std::size_t escape_json(char16_t unit, char* out);

// The document of the operations of the values that were read (`values[i]`
// with `present[i]`, in the order of PENDING_VALUE_NAMES). With
// `check_files`, whether something is at each name now; else null. The
// values' data may be changed past their names.
void write_json_operations(const Platform& platform, PendingValue* values, const bool* present, bool check_files);

// The document of a failure: the system's error code (0 for a failure of
// the tool's own), and as its message `before`, `length` units of `name` (a
// system's text or a name as typed) and `after`.
void write_json_error(const Platform& platform, std::uint32_t code, const char* before, const char16_t* name,
                      std::size_t length, const char* after);
