#include "platform/posix/posix_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/hive_file.h"
#include "platform/platform.h"

std::string utf8_of(const char16_t* units, std::size_t count) {
    std::string bytes;
    bytes.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t c = units[i];
        if (c >= 0xDC80 && c <= 0xDCFF) {
            bytes += static_cast<char>(c - 0xDC00);
            continue;
        }
        bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00u);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        const unsigned lead[] = {0x00, 0xC0, 0xE0, 0xF0};
        bytes += static_cast<char>(lead[tail] | (c >> (6 * tail)));
        for (int n = tail - 1; n >= 0; --n) bytes += static_cast<char>(0x80u | ((c >> (6 * n)) & 0x3Fu));
    }
    return bytes;
}

std::u16string utf16_of(const char* text, std::size_t count) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::u16string units;
    units.reserve(count);
    for (std::size_t i = 0; i < count;) {
        unsigned lead = bytes[i];
        int tail = lead < 0x80             ? 0
                   : (lead & 0xE0) == 0xC0 ? 1
                   : (lead & 0xF0) == 0xE0 ? 2
                   : (lead & 0xF8) == 0xF0 ? 3
                                           : -1;
        std::uint32_t c = tail > 0 ? lead & (0x3Fu >> tail) : lead;
        bool valid = tail >= 0 && i + static_cast<std::size_t>(tail) < count;
        for (std::size_t n = 1; valid && n <= static_cast<std::size_t>(tail); ++n) {
            valid = (bytes[i + n] & 0xC0) == 0x80;
            c = c << 6 | (bytes[i + n] & 0x3Fu);
        }
        // Overlong forms, surrogates and what lies beyond U+10FFFF are no UTF-8.
        const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        valid = valid && c >= least[tail > 0 ? tail : 0] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        if (!valid) {
            units += static_cast<char16_t>(0xDC00 + lead);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(c);
        }
        i += static_cast<std::size_t>(tail) + 1;
    }
    return units;
}

namespace {

struct CodeText {
    std::uint32_t code;
    const char* text;
};

// The Windows codes the logic knows, in Windows' words, and the body's own.
const CodeText CODE_TEXTS[] = {
    {0, "Success."},
    {2, "File not found."},
    {3, "Path not found."},
    {5, "Access denied."},
    {8, "Not enough memory."},
    {50, "Not supported."},
    {234, "More data is available."},
    {258, "The wait timed out."},
    {HIVE_NOT_REGULAR,
     "not a regular file: only a hive in a regular file is changed (a pipe or a device can be listed)"},
    {HIVE_OTHER_NAMES,
     "the file has other names (hard links), which would keep the old hive beside the new one; nothing was changed"},
};

}  // namespace

const char* system_error_text(std::uint32_t code) {
    // Names of keys and values may make it longer than the usual buffer.
    static std::string damage;
    if (code == HIVE_DAMAGED) {
        const char16_t* units = hive_damage_units();
        damage = utf8_of(units, std::char_traits<char16_t>::length(units));
        return damage.c_str();
    }
    static char text[ERROR_TEXT_CAPACITY];
    std::memset(text, 0, sizeof text);
    for (const CodeText& known : CODE_TEXTS) {
        if (known.code == code) std::strncpy(text, known.text, sizeof text - 1);
    }
    if (const char* hive = hive_code_text(code)) std::strncpy(text, hive, sizeof text - 1);
    if ((code & 0xFFFF8000u) == APPLICATION_CODE_BIT) {
        std::strncpy(text, std::strerror(static_cast<int>(code & 0x7FFFu)), sizeof text - 1);
    } else if ((code & 0xFFFF8000u) == HIVE_NOT_WRITTEN) {
        std::snprintf(text, sizeof text, "the changed hive could not be written, so the file is as it was: %s",
                      std::strerror(static_cast<int>(code & 0x7FFFu)));
    } else if ((code & 0xFFFF8000u) == HIVE_OWNER_NOT_KEPT) {
        std::snprintf(text, sizeof text, "the file's owner and group could not be kept, so the file is as it was: %s",
                      std::strerror(static_cast<int>(code & 0x7FFFu)));
    } else if ((code & 0xFFFF8000u) == HIVE_ATTRIBUTES_NOT_KEPT) {
        std::snprintf(text, sizeof text,
                      "the file's extended attributes could not be kept, so the file is as it was: %s",
                      std::strerror(static_cast<int>(code & 0x7FFFu)));
    }
    return text;
}

// The codes that carry an errno value in their low bits give it; the
// hive's own give 0.
std::uint32_t system_error_number(std::uint32_t code) {
    for (std::uint32_t kind : {APPLICATION_CODE_BIT, HIVE_NOT_WRITTEN, HIVE_OWNER_NOT_KEPT, HIVE_ATTRIBUTES_NOT_KEPT}) {
        if ((code & 0xFFFF8000u) == kind) return code & 0x7FFFu;
    }
    // The body gives the logic's code for ENOMEM, which the logic tells apart.
    if (code == ERROR_CODE_NOT_ENOUGH_MEMORY) return ENOMEM;
    return 0;
}

const char16_t* system_error_units(std::uint32_t code) {
    if (code == HIVE_DAMAGED) return hive_damage_units();
    static char16_t units[ERROR_TEXT_CAPACITY];
    std::u16string text = utf16_of(system_error_text(code), std::strlen(system_error_text(code)));
    std::size_t count = text.size() < ERROR_TEXT_CAPACITY ? text.size() : ERROR_TEXT_CAPACITY - 1;
    text.copy(units, count);
    units[count] = u'\0';
    return units;
}
