// How what the tool prints reaches the user, shared by both platform bodies.
//
// The body says once, at start, whether standard output is a console. To a
// console everything goes as UTF-16, so a name shows exactly whatever the
// code pages are, except that a control character in a name is shown as an
// escape such as \x1B: a crafted name must not move the cursor or overwrite
// a line; so is an invisible character that changes how the line reads
// (the direction overrides and isolates, zero-width characters, direction
// marks, the line and paragraph separators, U+FEFF), as \u202E. To a file
// or pipe everything goes as bytes in the ANSI code page, each character
// the code page cannot show as one '?', never a look-alike, and control
// characters as they are. On Windows each line feed of the tool's own texts
// goes out as carriage return and line feed, as a text stream writes it; a
// line feed inside a name stays one byte.
#pragma once

#include <cstddef>

#include "platform/platform.h"

struct OutputDevice {
    void* context;
    bool console;
    // The ANSI code page is UTF-8, which has every character.
    bool utf8;
    // Each line feed of the tool's own texts goes out as CR LF (Windows).
    bool crlf;
    // What a file gets for half of a surrogate pair, or for a character
    // the code page lacks: "?" on Windows, U+FFFD in UTF-8 on Linux.
    const char* replacement;
    // False when the device refused the output.
    bool (*write_console)(void* context, const char16_t* units, std::size_t count);
    bool (*write_file)(void* context, const char* bytes, std::size_t count);
    // The units in the ANSI code page, one '?' for each character that it
    // cannot show; gives the count of bytes. No surrogate among them, but
    // for whole pairs when the code page is UTF-8. `capacity` is at least
    // four bytes a unit.
    std::size_t (*encode)(void* context, const char16_t* units, std::size_t count, char* bytes, std::size_t capacity);
    // Bytes in the ANSI code page as units; `capacity` is at least one unit a
    // byte.
    std::size_t (*decode)(void* context, const char* bytes, std::size_t count, char16_t* units, std::size_t capacity);
    // Says on the error stream, the one place left, that standard output
    // refused what the tool printed.
    void (*report_failure)(void* context);
    // Writes ASCII text to the error stream at once.
    void (*write_error)(void* context, const char* text, std::size_t length);
};

constexpr std::size_t TEXT_OUTPUT_CAPACITY = 32 * 1024;

// The writer's state: what is held until the buffer fills or the end.
struct TextOutput {
    OutputDevice device;
    bool failed;
    // The writer of the error stream, where the body keeps one apart, and
    // whether what is written goes there now.
    TextOutput* errors;
    // The writer of notes and warnings, where the body keeps one apart.
    TextOutput* warnings;
    OutputStream stream;  // where what is written goes now
    std::size_t used;
    char bytes[TEXT_OUTPUT_CAPACITY];      // to a file
    char16_t units[TEXT_OUTPUT_CAPACITY];  // to a console
};

void start_text_output(TextOutput* output, const OutputDevice& device);

// Sends the error lines of `output` to `errors`, a writer started on the
// error stream. Without it they stay in `output`, in order.
void keep_errors_apart(TextOutput* output, TextOutput* errors);
// Sends notes and warnings to `warnings`; without it they go where errors go.
void keep_warnings_apart(TextOutput* output, TextOutput* warnings);

// The writer as the logic sees it.
OutputAccess text_output_access(TextOutput* output);
