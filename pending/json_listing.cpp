#include "pending/json_listing.h"

#include "pending/file_lookup.h"

void json_write_out(JsonWriter* writer) {
    const OutputAccess& output = writer->platform->output;
    if (writer->used > 0) output.write_text(output.context, writer->buffer, writer->used);
    writer->used = 0;
}

void json_put(JsonWriter* writer, const char* text) {
    for (; *text != '\0'; ++text) {
        if (writer->used == sizeof writer->buffer) json_write_out(writer);
        writer->buffer[writer->used++] = *text;
    }
}

void json_put_units(JsonWriter* writer, const char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (writer->used + JSON_ESCAPE_MAX > sizeof writer->buffer) json_write_out(writer);
        writer->used += escape_json(units[i], writer->buffer + writer->used);
    }
}

void json_put_ascii(JsonWriter* writer, const char* text) {
    for (; *text != '\0'; ++text) {
        char16_t unit = static_cast<char16_t>(*text);
        json_put_units(writer, &unit, 1);
    }
}

void json_put_string(JsonWriter* writer, const char16_t* units, std::size_t count) {
    json_put(writer, "\"");
    json_put_units(writer, units, count);
    json_put(writer, "\"");
}

void json_put_number(JsonWriter* writer, std::uint64_t number) {
    char digits[24] = {};
    std::size_t at = sizeof digits - 1;
    do {
        digits[--at] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    json_put(writer, digits + at);
}

namespace {

void put_stored(JsonWriter* writer, const PendingValue& value, StoredName name) {
    json_put_string(writer, value.units + name.start, name.length);
}

void put_operation(JsonWriter* writer, PendingValue& value, const char16_t* value_name, const Operation& operation,
                   bool check_files) {
    const Platform& platform = *writer->platform;
    bool move = operation.kind == OperationKind::move;
    json_put(writer, "  {\"value\": ");
    json_put_string(writer, value_name, name_length(value_name));
    json_put(writer, move ? ", \"kind\": \"move\", \"source\": " : ", \"kind\": \"delete\", \"source\": ");
    put_stored(writer, value, operation.source);
    json_put(writer, ", \"target\": ");
    if (move) {
        put_stored(writer, value, operation.target);
    } else {
        json_put(writer, "null");
    }
    json_put(writer, operation.replace ? ", \"replace\": true, \"stored_source\": "
                                       : ", \"replace\": false, \"stored_source\": ");
    put_stored(writer, value, operation.stored_source);
    json_put(writer, ", \"stored_target\": ");
    if (operation.has_target) {
        put_stored(writer, value, operation.stored_target);
    } else {
        json_put(writer, "null");
    }
    json_put(writer, ", \"source_exists\": ");
    json_put(writer, check_files ? existence_text(look_up_name(platform, value, operation.source)) : "null");
    json_put(writer, ", \"target_exists\": ");
    json_put(writer, check_files && move ? existence_text(look_up_name(platform, value, operation.target)) : "null");
    json_put(writer, "}");
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
    json_put(&listing->writer, "{\"operations\": [");
}

void add_json_operation(JsonListing* listing, PendingValue& value, std::size_t which, const Operation& operation) {
    json_put(&listing->writer, listing->first ? "\n" : ",\n");
    listing->first = false;
    put_operation(&listing->writer, value, PENDING_VALUE_NAMES[which], operation, listing->check_files);
}

void end_json_listing(JsonListing* listing) {
    json_put(&listing->writer, listing->first ? "]}\n" : "\n]}\n");
    json_write_out(&listing->writer);
}

void json_put_error_object(JsonWriter* writer, std::uint32_t code, const char* before, const char16_t* name,
                           std::size_t length, const char* after) {
    json_put(writer, "{\"code\": ");
    json_put_number(writer, code);
    json_put(writer, ", \"message\": \"");
    json_put_ascii(writer, before);
    json_put_units(writer, name, length);
    json_put_ascii(writer, after);
    json_put(writer, "\"}");
}

void json_put_system_error_object(JsonWriter* writer, std::uint32_t code) {
    const char16_t* text = system_error_units(code);
    std::size_t length = name_length(text);
    while (length > 0 && (text[length - 1] == u'\n' || text[length - 1] == u'\r')) --length;
    json_put_error_object(writer, system_error_number(code), "", text, length, "");
}

void end_json_listing_with_unreadable(JsonListing* listing, const bool* unreadable) {
    json_put(&listing->writer, listing->first ? "], \"unreadable\": [" : "\n], \"unreadable\": [");
    const char* between = "\n";
    for (std::size_t which = 0; which < PENDING_VALUE_COUNT; ++which) {
        if (!unreadable[which]) continue;
        json_put(&listing->writer, between);
        json_put(&listing->writer, "  {\"value\": \"");
        json_put_units(&listing->writer, PENDING_VALUE_NAMES[which], name_length(PENDING_VALUE_NAMES[which]));
        json_put(&listing->writer, "\", \"message\": \"");
        json_put_ascii(&listing->writer, system_error_text(ERROR_CODE_VALUE_UNREADABLE));
        json_put(&listing->writer, "\"}");
        between = ",\n";
    }
    json_put(&listing->writer, "\n]}\n");
    json_write_out(&listing->writer);
}

namespace {

// Ends the document with its error.
void put_error(JsonWriter* writer, std::uint32_t code, const char* before, const char16_t* name, std::size_t length,
               const char* after) {
    json_put(writer, "\"error\": ");
    json_put_error_object(writer, code, before, name, length, after);
    json_put(writer, "}\n");
    json_write_out(writer);
}

void put_system_error(JsonWriter* writer, std::uint32_t code) {
    json_put(writer, "\"error\": ");
    json_put_system_error_object(writer, code);
    json_put(writer, "}\n");
    json_write_out(writer);
}

}  // namespace

void end_json_listing_with_error(JsonListing* listing, std::uint32_t code, const char* before, const char16_t* name,
                                 std::size_t length, const char* after) {
    json_put(&listing->writer, listing->first ? "], " : "\n], ");
    put_error(&listing->writer, code, before, name, length, after);
}

void write_json_error(const Platform& platform, std::uint32_t code, const char* before, const char16_t* name,
                      std::size_t length, const char* after) {
    JsonWriter writer{&platform, 0, {}};
    json_put(&writer, "{");
    put_error(&writer, code, before, name, length, after);
}

void end_json_listing_with_system_error(JsonListing* listing, std::uint32_t code) {
    json_put(&listing->writer, listing->first ? "], " : "\n], ");
    put_system_error(&listing->writer, code);
}

void write_json_system_error(const Platform& platform, std::uint32_t code) {
    JsonWriter writer{&platform, 0, {}};
    json_put(&writer, "{");
    put_system_error(&writer, code);
}
