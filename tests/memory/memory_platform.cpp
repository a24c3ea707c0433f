#include "tests/memory/memory_platform.h"

#include <locale.h>
#include <wctype.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr RegistryKey MEMORY_KEY = 0x5eed;   // the running system's
constexpr RegistryKey OTHER_KEYS = 0x10000;  // and the n-th key opened, from here
const char16_t RUNNING_KEY[] = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr SearchHandle MEMORY_SEARCH = 0x5ea7;
constexpr RedirectionToken MEMORY_REDIRECTION = 0x3264;

const char16_t SYSTEM32[] = u"C:\\Windows\\System32\\";
const char16_t SYSWOW64[] = u"C:\\Windows\\SysWOW64\\";

// Bytes 80 to 9F of code page 1252; the others are their own units.
const char16_t CP1252_HIGH[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

MemoryPlatformState* state_of(void* context) { return static_cast<MemoryPlatformState*>(context); }

// Logs the call and gives the code it is to fail with, or 0.
std::uint32_t enter(MemoryPlatformState* state, const char* call) {
    state->calls.push_back(call);
    // Counting through the log costs as much as the log is long: only when
    // a change or a failure may be due.
    if (state->changes.empty() && state->failures.empty()) return 0;
    int occurrence = 0;
    for (const std::string& earlier : state->calls) occurrence += earlier == call ? 1 : 0;
    for (const MemoryChange& change : state->changes) {
        if (change.call == call && change.occurrence == occurrence) {
            (change.second ? state->second : state->value) = change.value;
        }
    }
    for (const MemoryFailure& failure : state->failures) {
        if (failure.call == call && failure.occurrence == occurrence) return failure.code;
    }
    return 0;
}

char16_t fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool pattern_matches(const char16_t* pattern, const char16_t* name) {
    if (*pattern == u'\0') return *name == u'\0';
    if (*pattern == u'*')
        return pattern_matches(pattern + 1, name) || (*name != u'\0' && pattern_matches(pattern, name + 1));
    if (*name == u'\0') return false;
    if (*pattern != u'?' && fold(*pattern) != fold(*name)) return false;
    return pattern_matches(pattern + 1, name + 1);
}

bool starts_with_folded(const std::u16string& text, const char16_t* prefix) {
    std::size_t length = std::char_traits<char16_t>::length(prefix);
    if (text.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (fold(text[i]) != fold(prefix[i])) return false;
    }
    return true;
}

std::u16string full_name(const MemoryPlatformState& state, const std::u16string& name) {
    if (name.size() >= 2 && name[1] == u':') return name;
    if (!name.empty() && name[0] == u'\\') return state.current_directory.substr(0, 2) + name;
    std::u16string directory = state.current_directory;
    if (directory.empty() || directory.back() != u'\\') directory += u'\\';
    return directory + name;
}

bool same_folded(const std::u16string& left, const std::u16string& right) {
    return left.size() == right.size() && starts_with_folded(left, right.c_str());
}

// The value `name` of an open key; null when the key has no such value
// and `create` is false.
MemoryValue* value_named(MemoryPlatformState* state, RegistryKey key, const char16_t* name, bool create) {
    std::u16string wanted = name;
    if (key == MEMORY_KEY) {
        if (wanted == u"PendingFileRenameOperations") return &state->value;
        if (wanted == u"PendingFileRenameOperations2") return &state->second;
    }
    std::map<std::u16string, MemoryValue>& values =
        state->keys[key == MEMORY_KEY ? RUNNING_KEY : state->opened[key - OTHER_KEYS]];
    auto found = values.find(wanted);
    if (found != values.end()) return &found->second;
    return create ? &values[wanted] : nullptr;
}

std::uint32_t open_key(void* context, RegistryRoot root, const char16_t* path, std::uint32_t access, RegistryKey* key) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_OPEN_KEY)) return code;
    const char16_t* root_name = root == RegistryRoot::users           ? u"HKU\\"
                                : root == RegistryRoot::hive_file     ? u"HIVE\\"
                                : root == RegistryRoot::software_file ? u"SOFT\\"
                                                                      : u"HKLM\\";
    std::u16string full = root_name + std::u16string(path);
    for (const std::u16string& denied : state->denied) {
        if (same_folded(full, denied)) return ERROR_CODE_ACCESS_DENIED;
    }
    state->opened.push_back(full);
    state->opened_access.push_back(access);
    if (same_folded(full, RUNNING_KEY)) {
        *key = MEMORY_KEY;
    } else {
        auto found = state->keys.begin();
        while (found != state->keys.end() && !same_folded(found->first, full)) ++found;
        // A key above one of the keys exists too.
        auto below = state->keys.begin();
        while (below != state->keys.end() && !starts_with_folded(below->first, (full + u'\\').c_str())) ++below;
        if (found == state->keys.end() && below != state->keys.end())
            found = state->keys.emplace(full, std::map<std::u16string, MemoryValue>{}).first;
        if (found == state->keys.end()) return ERROR_CODE_FILE_NOT_FOUND;
        state->opened.back() = found->first;
        *key = OTHER_KEYS + state->opened.size() - 1;
    }
    ++state->open_keys;
    return 0;
}

std::uint32_t query_value(void* context, RegistryKey key, const char16_t* name, std::uint32_t* type,
                          unsigned char* data, std::uint32_t* size) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, data == nullptr ? CALL_QUERY_SIZE : CALL_QUERY_DATA)) return code;
    MemoryValue* value = value_named(state, key, name, false);
    if (value == nullptr || !value->present) return ERROR_CODE_FILE_NOT_FOUND;
    std::uint32_t stored = static_cast<std::uint32_t>(value->data.size());
    *type = value->type;
    if (data != nullptr && *size < stored) {
        *size = stored;
        return ERROR_CODE_MORE_DATA;
    }
    if (data != nullptr && stored > 0) std::memcpy(data, value->data.data(), stored);
    *size = stored;
    return 0;
}

std::uint32_t set_value(void* context, RegistryKey key, const char16_t* name, std::uint32_t type,
                        const unsigned char* data, std::uint32_t size) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_SET_VALUE)) return code;
    // As the registry does for the string types: when the data's last unit
    // is not NUL and the unit after it is, that unit is stored too. It reads
    // the unit at size / 2, so two bytes beyond an even size and one beyond
    // an odd one.
    bool string_type = type == VALUE_TYPE_SZ || type == VALUE_TYPE_EXPAND_SZ || type == VALUE_TYPE_MULTI_SZ;
    if (string_type && size >= 2) {
        std::uint32_t last = (size / 2 - 1) * 2;
        std::uint32_t after = (size / 2) * 2;
        bool last_set = data[last] != 0 || data[last + 1] != 0;
        bool after_nul = data[after] == 0 && data[after + 1] == 0;
        if (last_set && after_nul) size += 2;
    }
    MemoryValue* value = value_named(state, key, name, true);
    if (value == nullptr) return ERROR_CODE_FILE_NOT_FOUND;
    value->present = true;
    value->type = type;
    value->data.assign(data, data + size);
    state->writes.push_back(value->data);
    return 0;
}

std::uint32_t delete_value(void* context, RegistryKey key, const char16_t* name) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_DELETE_VALUE)) return code;
    MemoryValue* value = value_named(state, key, name, false);
    if (value == nullptr || !value->present) return ERROR_CODE_FILE_NOT_FOUND;
    *value = MemoryValue{false, 0, {}};
    state->writes.emplace_back();
    return 0;
}

// The values of a key other than the running system's, in the order of
// their names.
std::uint32_t enum_value(void* context, RegistryKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_ENUM_VALUE)) return code;
    if (key == MEMORY_KEY) return ERROR_CODE_NOT_SUPPORTED;
    std::uint32_t at = 0;
    for (const auto& [value_name, value] : state->keys[state->opened[key - OTHER_KEYS]]) {
        if (!value.present || at++ != index) continue;
        if (value_name.size() + 1 > *length) return ERROR_CODE_MORE_DATA;
        value_name.copy(name, value_name.size());
        name[value_name.size()] = u'\0';
        *length = static_cast<std::uint32_t>(value_name.size());
        return 0;
    }
    return ERROR_CODE_NO_MORE_ITEMS;
}

std::uint32_t kernel_name(void* context, RegistryKey key, char16_t* name, std::size_t capacity) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_KERNEL_NAME)) return code;
    std::u16string path = key == MEMORY_KEY ? RUNNING_KEY : state->opened[key - OTHER_KEYS];
    auto linked = state->kernel_names.find(path);
    std::u16string full = linked != state->kernel_names.end()  ? linked->second
                          : path.compare(0, 5, u"HKLM\\") == 0 ? u"\\REGISTRY\\MACHINE\\" + path.substr(5)
                                                               : u"\\REGISTRY\\USER\\" + path.substr(4);
    if (full.size() >= capacity) return ERROR_CODE_MORE_DATA;
    std::char_traits<char16_t>::copy(name, full.c_str(), full.size() + 1);
    return 0;
}

std::uint32_t load_hive_file(void* context, RegistryRoot root, const char16_t* file, const char16_t* sibling,
                             bool write, HiveLoad* load) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_LOAD_HIVE_FILE)) return code;
    *load = HiveLoad{};
    if (root == RegistryRoot::software_file) {
        state->software_file = std::u16string(file) + u"|" + (sibling != nullptr ? sibling : u"");
        return state->software_file_code;
    }
    state->hive_file = std::u16string(file) + (write ? u"+" : u"");
    load->unclean = state->hive_file_unclean;
    return state->hive_file_code;
}

void close_key(void* context, RegistryKey) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_CLOSE_KEY);
    --state->open_keys;
}

RedirectionToken disable_redirection(void* context) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_DISABLE_REDIRECTION);
    state->redirection_disabled = true;
    return MEMORY_REDIRECTION;
}

void revert_redirection(void* context, RedirectionToken) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_REVERT_REDIRECTION);
    state->redirection_disabled = false;
}

// The full name the file system looks at: with WOW64 redirection on, a
// name under System32 is looked for in SysWOW64. ("\\?\" in front only says
// that the name is not to be made over, which this body never does.)
std::u16string looked_up(const MemoryPlatformState& state, const char16_t* name) {
    std::u16string given = name;
    if (given.compare(0, 4, u"\\\\?\\") == 0) given.erase(0, 4);  // passed on as it stands
    std::u16string wanted = full_name(state, given);
    if (state.wow64 && !state.redirection_disabled && starts_with_folded(wanted, SYSTEM32)) {
        wanted = SYSWOW64 + wanted.substr(std::char_traits<char16_t>::length(SYSTEM32));
    }
    return wanted;
}

std::u16string without_backslash(std::u16string name) {
    if (!name.empty() && name.back() == u'\\') name.pop_back();
    return name;
}

SearchHandle find_first_file(void* context, const char16_t* pattern) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_FIND_FIRST_FILE)) {
        state->last_error = code;
        return INVALID_SEARCH_HANDLE;
    }
    // As FindFirstFileW: no match for a name that ends in a backslash.
    std::u16string wanted = looked_up(*state, pattern);
    for (const std::u16string& entry : state->entries) {
        if (pattern_matches(wanted.c_str(), without_backslash(entry).c_str())) {
            ++state->open_searches;
            return MEMORY_SEARCH;
        }
    }
    state->last_error = ERROR_CODE_FILE_NOT_FOUND;
    return INVALID_SEARCH_HANDLE;
}

std::uint32_t file_attributes(void* context, const char16_t* name, std::uint32_t* attributes) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_FILE_ATTRIBUTES)) return code;
    std::u16string wanted = looked_up(*state, name);
    bool directory_only = !wanted.empty() && wanted.back() == u'\\';
    std::u16string folder = without_backslash(wanted) + u'\\';
    if (starts_with_folded(without_backslash(state->current_directory) + u'\\', folder.c_str())) {
        *attributes = FILE_ATTRIBUTE_DIRECTORY_BIT;  // the current directory and the folders above it
        return 0;
    }
    for (const std::u16string& entry : state->entries) {
        if (starts_with_folded(entry, folder.c_str())) {
            *attributes = FILE_ATTRIBUTE_DIRECTORY_BIT;
            return 0;
        }
        if (!directory_only && entry.size() == wanted.size() && starts_with_folded(entry, wanted.c_str())) {
            *attributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE, a file
            return 0;
        }
    }
    return directory_only ? ERROR_CODE_PATH_NOT_FOUND : ERROR_CODE_FILE_NOT_FOUND;
}

void find_close(void* context, SearchHandle) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_FIND_CLOSE);
    --state->open_searches;
}

int move_file_ex(void* context, const char16_t* source, const char16_t* target, std::uint32_t flags) {
    MemoryPlatformState* state = state_of(context);
    std::string flags_text = std::to_string(flags);
    state->moves.push_back(std::u16string(source) + u"|" + (target ? target : u"(none)") + u"|" +
                           std::u16string(flags_text.begin(), flags_text.end()));
    state->last_error = 0;
    if (std::uint32_t code = enter(state, CALL_MOVE_FILE_EX)) {
        state->last_error = code;
        return 0;
    }
    // As Wine does: an empty target is no path, and a value of another type
    // is refused without an error code of its own.
    if (target != nullptr && *target == u'\0') {
        state->last_error = ERROR_CODE_PATH_NOT_FOUND;
        return 0;
    }
    return memory_record_move(state, source, target, flags) ? 1 : 0;
}

std::uint32_t get_last_error(void* context) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_GET_LAST_ERROR);
    return state->last_error;
}

// Each unit in Unicode's simple upper case, as the C library has it for
// UTF-8 (as a file system's table has it: é is É, α is Α).
bool same_name(void* context, const char16_t* left, std::size_t left_length, const char16_t* right,
               std::size_t right_length) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    if (enter(state_of(context), CALL_SAME_NAME) != 0) return true;
    if (left_length != right_length) return false;
    for (std::size_t i = 0; i < left_length; ++i) {
        if (towupper_l(left[i], utf8) != towupper_l(right[i], utf8)) return false;
    }
    return true;
}

void* allocate(void* context, std::size_t size) {
    MemoryPlatformState* state = state_of(context);
    if (enter(state, CALL_ALLOCATE) != 0) return nullptr;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) ++state->live_blocks;
    return block;
}

void release(void* context, void* block) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_RELEASE);
    --state->live_blocks;
    std::free(block);
}

std::uint32_t lock(void* context, LockToken* token) {
    MemoryPlatformState* state = state_of(context);
    *token = 0;
    if (std::uint32_t code = enter(state, CALL_LOCK)) return code;
    ++state->locks_held;
    *token = 1;
    return 0;
}

void unlock(void* context, LockToken token) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_UNLOCK);
    if (token != 0) --state->locks_held;
}

bool write_console(void* context, const char16_t* units, std::size_t count) {
    MemoryPlatformState* state = state_of(context);
    if (state->output_refused) return false;
    if (count > 0 && units[count - 1] >= 0xD800 && units[count - 1] <= 0xDBFF) ++state->console_writes_ending_in_half;
    if (!state->output_discarded) state->console_output.append(units, count);
    return true;
}

bool write_file(void* context, const char* bytes, std::size_t count) {
    MemoryPlatformState* state = state_of(context);
    if (state->output_refused) return false;
    if (!state->output_discarded) state->output.append(bytes, count);
    return true;
}

void report_failure(void* context) {
    state_of(context)->error_output += "error: standard output could not be written: Disk full.\r\n";
}

void write_error(void* context, const char* text, std::size_t length) {
    state_of(context)->error_output.append(text, length);
}

// UTF-8 of whole characters; the writer never passes half of a pair.
std::size_t encode_utf8(const char16_t* units, std::size_t count, char* bytes) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        const unsigned lead[] = {0x00, 0xC0, 0xE0, 0xF0};
        bytes[length++] = static_cast<char>(lead[tail] | (c >> (6 * tail)));
        for (int n = tail - 1; n >= 0; --n) bytes[length++] = static_cast<char>(0x80u | ((c >> (6 * n)) & 0x3Fu));
    }
    return length;
}

std::size_t encode(void* context, const char16_t* units, std::size_t count, char* bytes, std::size_t) {
    if (state_of(context)->utf8_code_page) return encode_utf8(units, count, bytes);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = code_page_byte(units[i]);
    return count;
}

std::size_t decode(void*, const char* bytes, std::size_t count, char16_t* units, std::size_t) {
    for (std::size_t i = 0; i < count; ++i) units[i] = code_page_unit(static_cast<unsigned char>(bytes[i]));
    return count;
}

struct SystemText {
    std::uint32_t code;
    const char* text;
};

// Texts as Wine gives them, with their line endings.
const SystemText SYSTEM_TEXTS[] = {
    {0, "Success.\r\n"},
    {2, "File not found.\r\n"},
    {3, "Path not found.\r\n"},
    {5, "Access denied.\r\n"},
    {8, "Not enough memory.\r\n"},
    {32, "Sharing violation.\r\n"},
    {87, "Invalid parameter.\r\n"},
    {234, "More data is available.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
};

}  // namespace

Platform memory_platform(MemoryPlatformState* state) {
    start_text_output(state->writer.get(), {state, state->console, state->utf8_code_page, true, "?", write_console,
                                            write_file, encode, decode, report_failure, write_error});
    Platform platform{};
    platform.registry = {state,      open_key,  query_value, set_value,     delete_value,
                         enum_value, close_key, kernel_name, load_hive_file};
    platform.files = {state,           disable_redirection, revert_redirection, find_first_file, find_close,
                      file_attributes, move_file_ex,        get_last_error,     same_name};
    platform.heap = {state, allocate, release};
    platform.lock = {state, lock, unlock};
    platform.output = text_output_access(state->writer.get());
    platform.running_system = state->running_system;
    return platform;
}

bool memory_record_move(MemoryPlatformState* state, const char16_t* source, const char16_t* target,
                        std::uint32_t flags) {
    MemoryValue& value = state->value;
    if (value.present && value.type != VALUE_TYPE_MULTI_SZ) return false;
    if (!value.present) {
        value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, {}};
    } else {
        // The last unit is taken for the closing NUL, put back below.
        value.data.resize(value.data.size() >= 2 ? value.data.size() - 2 : 0);
    }
    std::u16string mark = state->marked_records ? u"*1" : u"";
    std::u16string added = mark + u"\\??\\" + full_name(*state, source);
    added.push_back(u'\0');
    if (target != nullptr) {
        added += mark + ((flags & MOVE_REPLACE_EXISTING) ? u"!\\??\\" : u"\\??\\");
        added += full_name(*state, target);
    }
    added.push_back(u'\0');
    added.push_back(u'\0');
    for (char16_t unit : added) {
        value.data.push_back(static_cast<unsigned char>(unit & 0xFF));
        value.data.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return true;
}

char16_t code_page_unit(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F ? CP1252_HIGH[byte - 0x80] : static_cast<char16_t>(byte);
}

char code_page_byte(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
    for (unsigned i = 0; i < 32; ++i) {
        if (CP1252_HIGH[i] == unit) return static_cast<char>(0x80 + i);
    }
    return '?';
}

const char* system_error_text(std::uint32_t code) {
    static char text[ERROR_TEXT_CAPACITY];
    std::memset(text, 0, sizeof text);
    for (const SystemText& known : SYSTEM_TEXTS) {
        if (known.code == code) std::strncpy(text, known.text, sizeof text - 1);
    }
    return text;
}

std::uint32_t system_error_number(std::uint32_t code) { return (code & APPLICATION_CODE_BIT) != 0 ? 0 : code; }

const char16_t* system_error_units(std::uint32_t code) {
    static char16_t units[ERROR_TEXT_CAPACITY];
    const char* text = system_error_text(code);
    std::size_t i = 0;
    for (; text[i] != '\0'; ++i) units[i] = code_page_unit(static_cast<unsigned char>(text[i]));
    units[i] = u'\0';
    return units;
}
