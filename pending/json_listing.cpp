#include "pending/json_listing.h"

#include "pending/file_lookup.h"

namespace {

void write_out(JsonWriter* writer) {
    const OutputAccess& output = writer->platform->output;
    if (writer->used > 0) output.write_text(output.context, writer->buffer, writer->used);
    writer->used = 0;
}

void put(JsonWriter* writer, const char* text) {
    for (; *text != '\0'; ++text) {
        if (writer->used == sizeof writer->buffer) write_out(writer);
        writer->buffer[writer->used++] = *text;
    }
}

void put_units(JsonWriter* writer, const char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (writer->used + JSON_ESCAPE_MAX > sizeof writer->buffer) write_out(writer);
        writer->used += escape_json(units[i], writer->buffer + writer->used);
    }
}

// The tool's own words, which are ASCII, inside a string.
void put_ascii(JsonWriter* writer, const char* text) {
    for (; *text != '\0'; ++text) {
        char16_t unit = static_cast<char16_t>(*text);
        put_units(writer, &unit, 1);
    }
}

void put_string(JsonWriter* writer, const char16_t* units, std::size_t count) {
    put(writer, "\"");
    put_units(writer, units, count);
    put(writer, "\"");
}

void put_stored(JsonWriter* writer, const PendingValue& value, StoredName name) {
    put_string(writer, value.units + name.start, name.length);
}

void put_operation(JsonWriter* writer, PendingValue& value, const char16_t* value_name, const Operation& operation,
                   bool check_files) {
    const Platform& platform = *writer->platform;
    bool move = operation.kind == OperationKind::move;
    put(writer, "  {\"value\": ");
    put_string(writer, value_name, name_length(value_name));
    put(writer, move ? ", \"kind\": \"move\", \"source\": " : ", \"kind\": \"delete\", \"source\": ");
    put_stored(writer, value, operation.source);
    put(writer, ", \"target\": ");
    if (move) {
        put_stored(writer, value, operation.target);
    } else {
        put(writer, "null");
    }
    put(writer,
        operation.replace ? ", \"replace\": true, \"stored_source\": " : ", \"replace\": false, \"stored_source\": ");
    put_stored(writer, value, operation.stored_source);
    put(writer, ", \"stored_target\": ");
    if (operation.has_target) {
        put_stored(writer, value, operation.stored_target);
    } else {
        put(writer, "null");
    }
    put(writer, ", \"source_exists\": ");
    put(writer, check_files ? existence_text(look_up_name(platform, value, operation.source)) : "null");
    put(writer, ", \"target_exists\": ");
    put(writer, check_files && move ? existence_text(look_up_name(platform, value, operation.target)) : "null");
    put(writer, "}");
}

}  // namespace

std::size_t escape_json(char16_t unit, char* out) {
    if (unit >= 0x20 && unit <= 0x7E && unit != u'"' && unit != u'\\') {
        out[0] = static_cast<char>(unit);
        return 1;
    }
    if (unit == u'"' || unit == u'\\') {
        out[0] = '\\';
        out[1] = static_cast<char>(unit);
        return 2;
    }
    static const char hex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'u';
    for (int digit = 0; digit < 4; ++digit) out[2 + digit] = hex[(unit >> (12 - 4 * digit)) & 0xF];
    return JSON_ESCAPE_MAX;
}

void start_json_listing(JsonListing* listing, const Platform& platform, bool check_files) {
    listing->writer.platform = &platform;
    listing->writer.used = 0;
    listing->check_files = check_files;
    listing->first = true;
    put(&listing->writer, "{\"operations\": [");
}

void add_json_operation(JsonListing* listing, PendingValue& value, std::size_t which, const Operation& operation) {
    put(&listing->writer, listing->first ? "\n" : ",\n");
    listing->first = false;
    put_operation(&listing->writer, value, PENDING_VALUE_NAMES[which], operation, listing->check_files);
}

void end_json_listing(JsonListing* listing) {
    put(&listing->writer, listing->first ? "]}\n" : "\n]}\n");
    write_out(&listing->writer);
}

void end_json_listing_with_unreadable(JsonListing* listing, const bool* unreadable) {
    put(&listing->writer, listing->first ? "], \"unreadable\": [" : "\n], \"unreadable\": [");
    const char* between = "\n";
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
        if (!unreadable[which]) continue;
        put(&listing->writer, between);
        put(&listing->writer, "  {\"value\": \"");
        put_units(&listing->writer, PENDING_VALUE_NAMES[which], name_length(PENDING_VALUE_NAMES[which]));
        put(&listing->writer, "\", \"message\": \"");
        put_ascii(&listing->writer, system_error_text(ERROR_CODE_VALUE_UNREADABLE));
        put(&listing->writer, "\"}");
        between = ",\n";
    }
    put(&listing->writer, "\n]}\n");
    write_out(&listing->writer);
}

namespace {

void put_error(JsonWriter* writer, std::uint32_t code, const char* before, const char16_t* name, std::size_t length,
               const char* after) {
    char number[12] = {};
    std::size_t at = sizeof number - 1;
    do {
        number[--at] = static_cast<char>('0' + code % 10);
        code /= 10;
    } while (code != 0);
    put(writer, "\"error\": {\"code\": ");
    put(writer, number + at);
    put(writer, ", \"message\": \"");
    put_ascii(writer, before);
    put_units(writer, name, length);
    put_ascii(writer, after);
    put(writer, "\"}}\n");
    write_out(writer);
}

// The system's text for `code` without its line end, and the system's
// number for it (0 for a failure of the tool's own).
void put_system_error(JsonWriter* writer, std::uint32_t code) {
    const char16_t* text = system_error_units(code);
    std::size_t length = name_length(text);
    while (length > 0 && (text[length - 1] == u'\n' || text[length - 1] == u'\r')) --length;
    put_error(writer, system_error_number(code), "", text, length, "");
}

}  // namespace

void end_json_listing_with_error(JsonListing* listing, std::uint32_t code, const char* before, const char16_t* name,
                                 std::size_t length, const char* after) {
    put(&listing->writer, listing->first ? "], " : "\n], ");
    put_error(&listing->writer, code, before, name, length, after);
}

void write_json_error(const Platform& platform, std::uint32_t code, const char* before, const char16_t* name,
                      std::size_t length, const char* after) {
    JsonWriter writer{&platform, 0, {}};
    put(&writer, "{");
    put_error(&writer, code, before, name, length, after);
}

void end_json_listing_with_system_error(JsonListing* listing, std::uint32_t code) {
    put(&listing->writer, listing->first ? "], " : "\n], ");
    put_system_error(&listing->writer, code);
}

void write_json_system_error(const Platform& platform, std::uint32_t code) {
    JsonWriter writer{&platform, 0, {}};
    put(&writer, "{");
    put_system_error(&writer, code);
}
