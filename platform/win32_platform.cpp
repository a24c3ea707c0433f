// The only file that includes <windows.h>: each operation is the Win32 call
// itself, with the handle types widened or narrowed at this one place.
#include "platform/win32_platform.h"

#include <windows.h>
#include <cstdlib>
#include <cstring>

namespace {

HKEY to_hkey(RegistryKey key) { return reinterpret_cast<HKEY>(key); }

std::uint32_t open_key(void*, const char* path, std::uint32_t access, RegistryKey* key) {
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &opened);
    *key = reinterpret_cast<RegistryKey>(opened);
    return static_cast<std::uint32_t>(status);
}

std::uint32_t query_value(void*, RegistryKey key, const char* name, std::uint32_t* type, unsigned char* data,
                          std::uint32_t* size) {
    DWORD value_type = 0;
    DWORD value_size = *size;
    LONG status = RegQueryValueExA(to_hkey(key), name, nullptr, &value_type, data, &value_size);
    *type = value_type;
    *size = value_size;
    return static_cast<std::uint32_t>(status);
}

std::uint32_t set_value(void*, RegistryKey key, const char* name, std::uint32_t type, const unsigned char* data,
                        std::uint32_t size) {
    return static_cast<std::uint32_t>(RegSetValueExA(to_hkey(key), name, 0, type, data, size));
}

void close_key(void*, RegistryKey key) { RegCloseKey(to_hkey(key)); }

SearchHandle find_first_file(void*, const char* pattern) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return INVALID_SEARCH_HANDLE;
    return reinterpret_cast<SearchHandle>(search);
}

void find_close(void*, SearchHandle search) { FindClose(reinterpret_cast<HANDLE>(search)); }

int move_file_ex(void*, const char* source, const char* target, std::uint32_t flags) {
    return MoveFileExA(source, target, flags) ? 1 : 0;
}

std::uint32_t get_last_error(void*) { return GetLastError(); }

void* allocate(void*, std::size_t size) { return std::malloc(size); }

void release(void*, void* block) { std::free(block); }

}  // namespace

Platform win32_platform() {
    Platform platform{};
    platform.registry = {nullptr, open_key, query_value, set_value, close_key};
    platform.files = {nullptr, find_first_file, find_close, move_file_ex, get_last_error};
    platform.heap = {nullptr, allocate, release};
    return platform;
}

const char* system_error_text(std::uint32_t code) {
    static char text[ERROR_TEXT_CAPACITY];
    std::memset(text, 0, sizeof text);
    // Without FORMAT_MESSAGE_IGNORE_INSERTS a message such as "%1 is not a
    // valid Win32 application." would make FormatMessageA read arguments that
    // were never passed.
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    text[sizeof text - 1] = '\0';
    return text;
}
