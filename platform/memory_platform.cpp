#include "platform/memory_platform.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr std::uint32_t ERROR_MORE_DATA_CODE = 234;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
constexpr RegistryKey MEMORY_KEY = 0x5eed;
constexpr SearchHandle MEMORY_SEARCH = 0x5ea7;

MemoryPlatformState* state_of(void* context) { return static_cast<MemoryPlatformState*>(context); }

// Logs the call and gives the code it is to fail with, or 0.
std::uint32_t enter(MemoryPlatformState* state, const char* call) {
    state->calls.push_back(call);
    int occurrence = 0;
    for (const std::string& earlier : state->calls) occurrence += earlier == call ? 1 : 0;
    for (const MemoryFailure& failure : state->failures) {
        if (failure.call == call && failure.occurrence == occurrence) return failure.code;
    }
    return 0;
}

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool pattern_matches(const char* pattern, const char* name) {
    if (*pattern == '\0') return *name == '\0';
    if (*pattern == '*')
        return pattern_matches(pattern + 1, name) || (*name != '\0' && pattern_matches(pattern, name + 1));
    if (*name == '\0') return false;
    if (*pattern != '?' && fold(*pattern) != fold(*name)) return false;
    return pattern_matches(pattern + 1, name + 1);
}

std::string full_name(const MemoryPlatformState& state, const std::string& name) {
    if (name.size() >= 2 && name[1] == ':') return name;
    if (!name.empty() && name[0] == '\\') return state.current_directory.substr(0, 2) + name;
    std::string directory = state.current_directory;
    if (directory.empty() || directory.back() != '\\') directory += '\\';
    return directory + name;
}

std::uint32_t open_key(void* context, const char*, std::uint32_t, RegistryKey* key) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_OPEN_KEY)) return code;
    *key = MEMORY_KEY;
    ++state->open_keys;
    return 0;
}

std::uint32_t query_value(void* context, RegistryKey, const char*, std::uint32_t* type, unsigned char* data,
                          std::uint32_t* size) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, data == nullptr ? CALL_QUERY_SIZE : CALL_QUERY_DATA)) return code;
    if (!state->value.present) return ERROR_FILE_NOT_FOUND_CODE;
    std::uint32_t stored = static_cast<std::uint32_t>(state->value.data.size());
    *type = state->value.type;
    if (data != nullptr && *size < stored) {
        *size = stored;
        return ERROR_MORE_DATA_CODE;
    }
    if (data != nullptr && stored > 0) std::memcpy(data, state->value.data.data(), stored);
    *size = stored;
    return 0;
}

std::uint32_t set_value(void* context, RegistryKey, const char*, std::uint32_t type, const unsigned char* data,
                        std::uint32_t size) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_SET_VALUE)) return code;
    // As the real registry does for the string types: when the data does not
    // end in NUL and the byte after it is NUL, that byte is stored too.
    bool string_type = type == 1 || type == 2 || type == 7;
    if (string_type && size > 0 && data[size - 1] != 0 && data[size] == 0) ++size;
    state->value.present = true;
    state->value.type = type;
    state->value.data.assign(data, data + size);
    state->writes.push_back(state->value.data);
    return 0;
}

void close_key(void* context, RegistryKey) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_CLOSE_KEY);
    --state->open_keys;
}

SearchHandle find_first_file(void* context, const char* pattern) {
    MemoryPlatformState* state = state_of(context);
    if (std::uint32_t code = enter(state, CALL_FIND_FIRST_FILE)) {
        state->last_error = code;
        return INVALID_SEARCH_HANDLE;
    }
    std::string wanted = full_name(*state, pattern);
    for (const std::string& entry : state->entries) {
        if (pattern_matches(wanted.c_str(), entry.c_str())) {
            ++state->open_searches;
            return MEMORY_SEARCH;
        }
    }
    state->last_error = ERROR_FILE_NOT_FOUND_CODE;
    return INVALID_SEARCH_HANDLE;
}

void find_close(void* context, SearchHandle) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_FIND_CLOSE);
    --state->open_searches;
}

int move_file_ex(void* context, const char* source, const char* target, std::uint32_t flags) {
    MemoryPlatformState* state = state_of(context);
    state->moves.push_back(std::string(source) + "|" + (target ? target : "(none)") + "|" + std::to_string(flags));
    if (std::uint32_t code = enter(state, CALL_MOVE_FILE_EX)) {
        state->last_error = code;
        return 0;
    }
    // As Wine does: an empty target is no path, and a value of another type
    // is refused without an error code of its own.
    if (target != nullptr && *target == '\0') {
        state->last_error = ERROR_PATH_NOT_FOUND_CODE;
        return 0;
    }
    if (!memory_record_move(state, source, target, flags)) {
        state->last_error = 0;
        return 0;
    }
    return 1;
}

std::uint32_t get_last_error(void* context) {
    MemoryPlatformState* state = state_of(context);
    enter(state, CALL_GET_LAST_ERROR);
    return state->last_error;
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
    Platform platform{};
    platform.registry = {state, open_key, query_value, set_value, close_key};
    platform.files = {state, find_first_file, find_close, move_file_ex, get_last_error};
    platform.heap = {state, allocate, release};
    return platform;
}

bool memory_record_move(MemoryPlatformState* state, const char* source, const char* target, std::uint32_t flags) {
    MemoryValue& value = state->value;
    if (value.present && value.type != VALUE_TYPE_MULTI_SZ) return false;
    if (!value.present) {
        value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, {}};
    } else if (!value.data.empty()) {
        value.data.pop_back();  // the closing NUL, put back below
    }
    std::string added = "\\??\\" + full_name(*state, source);
    added.push_back('\0');
    if (target != nullptr) {
        added += (flags & MOVE_REPLACE_EXISTING) ? "!\\??\\" : "\\??\\";
        added += full_name(*state, target);
    }
    added.push_back('\0');
    added.push_back('\0');
    value.data.insert(value.data.end(), added.begin(), added.end());
    return true;
}

const char* system_error_text(std::uint32_t code) {
    static char text[ERROR_TEXT_CAPACITY];
    std::memset(text, 0, sizeof text);
    for (const SystemText& known : SYSTEM_TEXTS) {
        if (known.code == code) std::strncpy(text, known.text, sizeof text - 1);
    }
    return text;
}
