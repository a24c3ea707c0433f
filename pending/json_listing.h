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

// The document goes to the output in pieces of this buffer.
struct JsonWriter {
    const Platform* platform;
    std::size_t used;
    char buffer[4096];
};

// Pieces of a document, for the commands that write documents of their
// own: JSON text as it stands; units escaped, without quotes; the tool's
// own ASCII words escaped; a string, quoted; a number; an error object,
// {"code": N, "message": "..."}, of the tool's own words or of the system's
// text for `code`. json_write_out hands what is held to the output.
void json_put(JsonWriter* writer, const char* text);
void json_put_units(JsonWriter* writer, const char16_t* units, std::size_t count);
void json_put_ascii(JsonWriter* writer, const char* text);
void json_put_string(JsonWriter* writer, const char16_t* units, std::size_t count);
void json_put_number(JsonWriter* writer, std::uint64_t number);
void json_put_error_object(JsonWriter* writer, std::uint32_t code, const char* before, const char16_t* name,
                           std::size_t length, const char* after);
void json_put_system_error_object(JsonWriter* writer, std::uint32_t code);
void json_write_out(JsonWriter* writer);

// The document of operations, {"operations": [...]}, written one operation
// at a time.
struct JsonListing {
    JsonWriter writer;
    bool check_files;  // whether something is at each name now; else null
    bool first;
};

void start_json_listing(JsonListing* listing, const Platform& platform, bool check_files);
// An operation of the value PENDING_VALUE_NAMES[which]. With `check_files`
// its names are looked up: the caller turns the redirection off around it,
// and its name ends at its string's NUL or one put just past the data. The
// buffer's prefixes are changed and put back meanwhile.
void add_json_operation(JsonListing* listing, PendingValue& value, std::size_t which, const Operation& operation);
void end_json_listing(JsonListing* listing);
// Ends the document with the values that are there but that Windows does
// not read, beside the operations: {"operations": [...], "unreadable":
// [{"value": ..., "message": ...}]}. `unreadable[which]` for each value.
void end_json_listing_with_unreadable(JsonListing* listing, const bool* unreadable);
// Ends the document with the failure that came after its operations, as
// "error" beside "operations": the tool's own words, or the system's text
// for `code`.
void end_json_listing_with_error(JsonListing* listing, std::uint32_t code, const char* before, const char16_t* name,
                                 std::size_t length, const char* after);
void end_json_listing_with_system_error(JsonListing* listing, std::uint32_t code);

// The document of a failure: the system's error code (0 for a failure of
// the tool's own), and as its message `before`, `length` units of `name` (a
// system's text or a name as typed) and `after`.
void write_json_error(const Platform& platform, std::uint32_t code, const char* before, const char16_t* name,
                      std::size_t length, const char* after);
// The same with the system's text for `code`, without its line end; a
// body's own code (APPLICATION_CODE_BIT) is given as 0.
void write_json_system_error(const Platform& platform, std::uint32_t code);
