#include "platform/text_output.h"

#include <cstdint>
#include <cstring>

namespace {

// Names and texts are converted in pieces of this many units or bytes.
constexpr std::size_t PIECE = 256;

TextOutput* output_of(void* context) { return static_cast<TextOutput*>(context); }

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
bool is_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// C0 controls, DEL and the C1 controls, some of which terminals also take
// as the start of an escape sequence.
bool is_control(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

// Invisible characters that change how a line reads: a hostile name could
// make a listing show other names than it holds.
bool is_format(char16_t unit) {
    return (unit >= 0x200B && unit <= 0x200F) || (unit >= 0x2028 && unit <= 0x202E) ||
           (unit >= 0x2066 && unit <= 0x2069) || unit == 0xFEFF;
}

// Writes out what is held. A console gets whole characters only: the high
// half of a pair at the end stays for the next write, unless it is the last.
void write_out(TextOutput* output, bool last = false) {
    const OutputDevice& device = output->device;
    std::size_t count = output->used;
    if (device.console && !last && count > 1 && is_high_surrogate(output->units[count - 1])) --count;
    if (count == 0) return;
    bool written = device.console ? device.write_console(device.context, output->units, count)
                                  : device.write_file(device.context, output->bytes, count);
    if (!written) output->failed = true;
    if (count < output->used) output->units[0] = output->units[count];
    output->used -= count;
}

void append(TextOutput* output, const char* bytes, std::size_t count) {
    while (count > 0) {
        if (output->used == TEXT_OUTPUT_CAPACITY) write_out(output);
        std::size_t room = TEXT_OUTPUT_CAPACITY - output->used;
        std::size_t piece = count < room ? count : room;
        std::memcpy(output->bytes + output->used, bytes, piece);
        output->used += piece;
        bytes += piece;
        count -= piece;
    }
}

// Bytes to a file, each line feed as CR LF where that is the line end.
void put_bytes(TextOutput* output, const char* bytes, std::size_t count) {
    if (!output->device.crlf) {
        append(output, bytes, count);
        return;
    }
    while (count > 0) {
        const void* found = std::memchr(bytes, '\n', count);
        std::size_t run = found == nullptr ? count : static_cast<std::size_t>(static_cast<const char*>(found) - bytes);
        append(output, bytes, run);
        if (found != nullptr) {
            append(output, "\r\n", 2);
            ++run;
        }
        bytes += run;
        count -= run;
    }
}

void put_unit(TextOutput* output, char16_t unit) {
    if (unit == u'\n' && output->device.crlf) {
        if (output->used + 2 > TEXT_OUTPUT_CAPACITY) write_out(output);
        output->units[output->used++] = u'\r';
    } else if (output->used == TEXT_OUTPUT_CAPACITY) {
        write_out(output);
    }
    output->units[output->used++] = unit;
}

void put_escape(TextOutput* output, char16_t kind, char16_t unit, int digits) {
    static const char16_t hex[] = u"0123456789ABCDEF";
    put_unit(output, u'\\');
    put_unit(output, kind);
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) put_unit(output, hex[(unit >> shift) & 0xF]);
}

void name_to_console(TextOutput* output, const char16_t* name, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        char16_t unit = name[i];
        if (is_control(unit)) {
            put_escape(output, u'x', unit, 2);
        } else if (is_high_surrogate(unit) && i + 1 < length && is_low_surrogate(name[i + 1])) {
            put_unit(output, unit);
            put_unit(output, name[++i]);
        } else if (is_surrogate(unit) || is_format(unit)) {
            // Half a character, which a console cannot show; or a format
            // character, which it shows as nothing.
            put_escape(output, u'u', unit, 4);
        } else {
            put_unit(output, unit);
        }
    }
}

bool pair_at(const char16_t* name, std::size_t length, std::size_t i) {
    return is_high_surrogate(name[i]) && i + 1 < length && is_low_surrogate(name[i + 1]);
}

// A name's bytes go out as they are: a line feed inside a name is one byte,
// like every other control character.
void name_to_file(TextOutput* output, const char16_t* name, std::size_t length) {
    const OutputDevice& device = output->device;
    char encoded[PIECE * 4];
    std::size_t i = 0;
    while (i < length) {
        // ASCII is the same in every ANSI code page: copied without a
        // conversion, straight into the buffer, four units at a time while
        // none of them has a bit above 0x7F.
        while (i < length && name[i] < 0x80) {
            if (output->used == TEXT_OUTPUT_CAPACITY) write_out(output);
            char* to = output->bytes + output->used;
            std::size_t room = TEXT_OUTPUT_CAPACITY - output->used;
            std::size_t copied = 0;
            for (; room - copied >= 4 && length - i >= 4; copied += 4, i += 4) {
                std::uint64_t word;
                std::memcpy(&word, name + i, sizeof word);
                if ((word & 0xFF80FF80FF80FF80ull) != 0) break;
                for (std::size_t k = 0; k < 4; ++k) to[copied + k] = static_cast<char>(name[i + k]);
            }
            for (; copied < room && i < length && name[i] < 0x80; ++copied) to[copied] = static_cast<char>(name[i++]);
            output->used += copied;
        }
        if (i == length) break;
        if (is_surrogate(name[i]) && !(device.utf8 && pair_at(name, length, i))) {
            // Half a character; or, but in UTF-8, a character beyond the
            // BMP, which no other ANSI code page has.
            append(output, device.replacement, std::strlen(device.replacement));
            i += pair_at(name, length, i) ? 2u : 1u;
            continue;
        }
        std::size_t run = 0;
        while (i + run < length && run < PIECE && name[i + run] >= 0x80) {
            if (!is_surrogate(name[i + run])) {
                ++run;
            } else if (device.utf8 && run + 1 < PIECE && pair_at(name, length, i + run)) {
                run += 2;
            } else {
                break;
            }
        }
        append(output, encoded, device.encode(device.context, name + i, run, encoded, sizeof encoded));
        i += run;
    }
}

TextOutput* writer_of(TextOutput* output, OutputStream stream) {
    TextOutput* errors = output->errors != nullptr ? output->errors : output;
    if (stream == OutputStream::warnings) return output->warnings != nullptr ? output->warnings : errors;
    return stream == OutputStream::errors ? errors : output;
}

// The writer that what is written now goes to.
TextOutput* current(void* context) {
    TextOutput* output = output_of(context);
    return writer_of(output, output->stream);
}

void write_text(void* context, const char* text, std::size_t length) {
    TextOutput* output = current(context);
    if (!output->device.console) {
        put_bytes(output, text, length);
        return;
    }
    // The texts are short; a piece boundary never falls inside one of the
    // tool's texts or the system's.
    char16_t decoded[PIECE];
    for (std::size_t at = 0; at < length; at += PIECE) {
        std::size_t piece = length - at < PIECE ? length - at : PIECE;
        std::size_t count = output->device.decode(output->device.context, text + at, piece, decoded, PIECE);
        for (std::size_t u = 0; u < count; ++u) put_unit(output, decoded[u]);
    }
}

void write_name(void* context, const char16_t* name, std::size_t length) {
    TextOutput* output = current(context);
    if (output->device.console) {
        name_to_console(output, name, length);
    } else {
        name_to_file(output, name, length);
    }
}

// What one stream holds goes out before the other is written to, so that
// the two keep their order on a terminal.
void use_stream(void* context, OutputStream stream) {
    TextOutput* output = output_of(context);
    TextOutput* now = writer_of(output, output->stream);
    if (writer_of(output, stream) != now) write_out(now, true);
    output->stream = stream;
}

// The error stream is written as well as it can be: a failure there leaves
// the status to what the command did.
bool flush(void* context) {
    TextOutput* output = output_of(context);
    write_out(output, true);
    if (output->errors != nullptr) write_out(output->errors, true);
    if (output->warnings != nullptr) write_out(output->warnings, true);
    if (output->failed) output->device.report_failure(output->device.context);
    return !output->failed;
}

void write_error(void* context, const char* text, std::size_t length) {
    const OutputDevice& device = output_of(context)->device;
    device.write_error(device.context, text, length);
}

}  // namespace

void start_text_output(TextOutput* output, const OutputDevice& device) {
    output->device = device;
    output->failed = false;
    output->errors = nullptr;
    output->warnings = nullptr;
    output->stream = OutputStream::standard;
    output->used = 0;
}

void keep_errors_apart(TextOutput* output, TextOutput* errors) { output->errors = errors; }

void keep_warnings_apart(TextOutput* output, TextOutput* warnings) { output->warnings = warnings; }

OutputAccess text_output_access(TextOutput* output) {
    return {output, write_text, write_name, flush, write_error, use_stream};
}
