// The only file that includes <windows.h>: each operation is the wide Win32
// call itself, with the handle and character types widened or narrowed at
// this one place.
#include "platform/win32/win32_platform.h"

#include <windows.h>
// After <windows.h>, which it needs.
#include <sddl.h>

#include <cstdlib>
#include <cstring>

#include "platform/hive_file.h"
#include "platform/text_output.h"
#include "platform/win32/win32_hive_file.h"

namespace {

// WriteConsoleW is given at most this many units at a time: older consoles
// refuse a larger write for want of room in their shared buffer.
constexpr std::size_t CONSOLE_PIECE = 8192;

HKEY to_hkey(RegistryKey key) { return reinterpret_cast<HKEY>(key); }
LPCWSTR wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

// The keys of a hive file (/hive FILE) are the hive module's; every other
// key is the registry's.
bool in_hive_file(RegistryRoot root) { return root == RegistryRoot::hive_file || root == RegistryRoot::software_file; }

std::uint32_t open_key(void*, RegistryRoot root, const char16_t* path, std::uint32_t access, RegistryKey* key) {
    if (in_hive_file(root)) return hive_open_key(root, path, key);
    HKEY opened = nullptr;
    HKEY parent = root == RegistryRoot::users ? HKEY_USERS : HKEY_LOCAL_MACHINE;
    LONG status = RegOpenKeyExW(parent, wide(path), 0, access, &opened);
    *key = reinterpret_cast<RegistryKey>(opened);
    return static_cast<std::uint32_t>(status);
}

std::uint32_t query_value(void*, RegistryKey key, const char16_t* name, std::uint32_t* type, unsigned char* data,
                          std::uint32_t* size) {
    if (is_hive_key(key)) return hive_query_value(key, name, type, data, size);
    DWORD value_type = 0;
    DWORD value_size = *size;
    LONG status = RegQueryValueExW(to_hkey(key), wide(name), nullptr, &value_type, data, &value_size);
    *type = value_type;
    *size = value_size;
    return static_cast<std::uint32_t>(status);
}

std::uint32_t set_value(void*, RegistryKey key, const char16_t* name, std::uint32_t type, const unsigned char* data,
                        std::uint32_t size) {
    if (is_hive_key(key)) return hive_set_value(key, name, type, data, size);
    return static_cast<std::uint32_t>(RegSetValueExW(to_hkey(key), wide(name), 0, type, data, size));
}

std::uint32_t delete_value(void*, RegistryKey key, const char16_t* name) {
    if (is_hive_key(key)) return ERROR_NOT_SUPPORTED;
    return static_cast<std::uint32_t>(RegDeleteValueW(to_hkey(key), wide(name)));
}

std::uint32_t enum_value(void*, RegistryKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) {
    if (is_hive_key(key)) return hive_enum_value(key, index, name, length);
    DWORD units = *length;
    LONG status =
        RegEnumValueW(to_hkey(key), index, reinterpret_cast<LPWSTR>(name), &units, nullptr, nullptr, nullptr, nullptr);
    *length = units;
    return static_cast<std::uint32_t>(status);
}

void close_key(void*, RegistryKey key) {
    if (!is_hive_key(key)) RegCloseKey(to_hkey(key));
}

// NtQueryKey's KeyNameInformation, looked up at run time so that the program
// keeps importing from KERNEL32, ADVAPI32 and msvcrt only.
using NtQueryKeyCall = LONG(WINAPI*)(HANDLE key, int information_class, void* information, ULONG length,
                                     ULONG* result_length);
constexpr int KEY_NAME_INFORMATION = 3;

std::uint32_t kernel_name(void*, RegistryKey key, char16_t* name, std::size_t capacity) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC found = ntdll != nullptr ? GetProcAddress(ntdll, "NtQueryKey") : nullptr;
    if (found == nullptr || capacity == 0 || is_hive_key(key)) return ERROR_NOT_SUPPORTED;
    NtQueryKeyCall query = reinterpret_cast<NtQueryKeyCall>(reinterpret_cast<void*>(found));
    // A ULONG of the name's length in bytes, then the name without a NUL.
    ULONG information[1 + 512 / 2] = {};
    ULONG length = 0;
    if (query(to_hkey(key), KEY_NAME_INFORMATION, information, sizeof information, &length) != 0) {
        return ERROR_MORE_DATA;
    }
    std::size_t units = information[0] / 2;
    if (units >= capacity || units > (sizeof information - sizeof(ULONG)) / 2) return ERROR_MORE_DATA;
    std::memcpy(name, information + 1, units * 2);
    name[units] = u'\0';
    return 0;
}

// What Wow64DisableWow64FsRedirection gave, for the revert; the token says
// whether there is anything to revert (not so in a 64-bit process, or on
// 32-bit Windows).
PVOID redirection_state = nullptr;

RedirectionToken disable_redirection(void*) { return Wow64DisableWow64FsRedirection(&redirection_state) ? 1 : 0; }

void revert_redirection(void*, RedirectionToken token) {
    if (token != 0) Wow64RevertWow64FsRedirection(redirection_state);
}

SearchHandle find_first_file(void*, const char16_t* pattern) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) return INVALID_SEARCH_HANDLE;
    return reinterpret_cast<SearchHandle>(search);
}

void find_close(void*, SearchHandle search) { FindClose(reinterpret_cast<HANDLE>(search)); }

std::uint32_t file_attributes(void*, const char16_t* name, std::uint32_t* attributes) {
    DWORD found = GetFileAttributesW(wide(name));
    if (found == INVALID_FILE_ATTRIBUTES) return GetLastError();
    *attributes = found;
    return 0;
}

int move_file_ex(void*, const char16_t* source, const char16_t* target, std::uint32_t flags) {
    SetLastError(0);
    return MoveFileExW(wide(source), target != nullptr ? wide(target) : nullptr, flags) ? 1 : 0;
}

std::uint32_t get_last_error(void*) { return GetLastError(); }

// As NTFS and the restart compare names: ordinal, each unit in upper case.
// A failure (0) says nothing, so it counts as the same name.
bool same_name(void*, const char16_t* left, std::size_t left_length, const char16_t* right, std::size_t right_length) {
    if (left_length > 0x7FFFFFFF || right_length > 0x7FFFFFFF) return true;
    int order = CompareStringOrdinal(wide(left), static_cast<int>(left_length), wide(right),
                                     static_cast<int>(right_length), TRUE);
    return order != CSTR_LESS_THAN && order != CSTR_GREATER_THAN;
}

void* allocate(void*, std::size_t size) { return std::malloc(size); }

void release(void*, void* block) { std::free(block); }

// Global: the same lock for every session on the machine. Changing the
// values needs an administrator, who may create global objects; only
// Administrators and SYSTEM may open it, so no other user can hold it.
const wchar_t LOCK_NAME[] = L"Global\\bootmove.PendingFileRenameOperations";
const wchar_t LOCK_SECURITY[] = L"D:P(A;;GA;;;BA)(A;;GA;;;SY)";
constexpr DWORD LOCK_WAIT_MS = 30000;

std::uint32_t lock(void*, LockToken* token) {
    // A hive file is held by its own handle, which keeps other writers out.
    if (hive_file_loaded()) return hive_lock(token);
    *token = 0;
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LOCK_SECURITY, SDDL_REVISION_1, &security, nullptr)) {
        return GetLastError();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
    // Another kind of object under the name makes this fail
    // (ERROR_INVALID_HANDLE).
    HANDLE mutex = CreateMutexW(&attributes, FALSE, LOCK_NAME);
    DWORD created = GetLastError();
    LocalFree(security);
    if (mutex == nullptr) return created;
    // An abandoned lock is the lock: its holder ended without letting go,
    // and what it wrote is in the registry either way.
    DWORD waited = WaitForSingleObject(mutex, LOCK_WAIT_MS);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        *token = reinterpret_cast<LockToken>(mutex);
        return 0;
    }
    DWORD code = waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
    CloseHandle(mutex);
    return code;
}

void unlock(void*, LockToken token) {
    if (hive_file_loaded()) return hive_unlock(token);
    if (token == 0) return;
    ReleaseMutex(reinterpret_cast<HANDLE>(token));
    CloseHandle(reinterpret_cast<HANDLE>(token));
}

// Each writer's context names its standard handle.
DWORD output_handle = STD_OUTPUT_HANDLE;
DWORD error_handle = STD_ERROR_HANDLE;

HANDLE handle_of(void* context) { return GetStdHandle(*static_cast<DWORD*>(context)); }

// Why standard output refused the last write.
DWORD output_error = 0;

bool write_console(void* context, const char16_t* units, std::size_t count) {
    while (count > 0) {
        std::size_t piece = count < CONSOLE_PIECE ? count : CONSOLE_PIECE;
        // Never half a character: the high half of a pair goes with its low.
        if (piece < count && units[piece - 1] >= 0xD800 && units[piece - 1] <= 0xDBFF) --piece;
        DWORD written = 0;
        if (!WriteConsoleW(handle_of(context), units, static_cast<DWORD>(piece), &written, nullptr) || written == 0) {
            output_error = GetLastError();
            return false;
        }
        units += written;
        count -= written;
    }
    return true;
}

bool write_file(void* context, const char* bytes, std::size_t count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(handle_of(context), bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            output_error = GetLastError();
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

// The ANSI code page is UTF-8 (the "Beta: UTF-8" setting, or a manifest's
// activeCodePage); decided once, at start.
bool utf8_code_page = false;

std::size_t encode(void*, const char16_t* units, std::size_t count, char* bytes, std::size_t capacity) {
    if (count == 0) return 0;
    // No look-alikes: a character the code page lacks becomes '?'. A UTF-8
    // code page has every character and takes neither option.
    BOOL defaulted = FALSE;
    int length = WideCharToMultiByte(CP_ACP, utf8_code_page ? 0 : WC_NO_BEST_FIT_CHARS, wide(units),
                                     static_cast<int>(count), bytes, static_cast<int>(capacity),
                                     utf8_code_page ? nullptr : "?", utf8_code_page ? nullptr : &defaulted);
    if (length > 0) return static_cast<std::size_t>(length);
    std::memset(bytes, '?', count);
    return count;
}

std::size_t decode(void*, const char* bytes, std::size_t count, char16_t* units, std::size_t capacity) {
    if (count == 0) return 0;
    int length = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), reinterpret_cast<LPWSTR>(units),
                                     static_cast<int>(capacity));
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

void report_failure(void*) {
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    const char* text = system_error_text(output_error);
    const char intro[] = "error: standard output could not be written: ";
    DWORD written = 0;
    WriteFile(errors, intro, sizeof intro - 1, &written, nullptr);
    WriteFile(errors, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void write_error(void*, const char* text, std::size_t length) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
}

std::uint32_t load_hive_file(void*, RegistryRoot root, const char16_t* file, const char16_t* sibling, bool write,
                             HiveLoad* load) {
    *load = HiveLoad{};
    HiveFileCalls calls{};
    std::uint32_t code = open_win32_hive(file, sibling, write, &calls);
    if (code != ERROR_SUCCESS) {
        calls.close(calls.context);
        return code;
    }
    return load_hive(root, calls, write, load);
}

// Nowhere is left to say that the error stream failed.
void report_nothing(void*) {}

TextOutput standard_output_writer;
TextOutput standard_error_writer;

}  // namespace

Platform win32_platform() {
    DWORD mode = 0;
    bool console = GetConsoleMode(handle_of(&output_handle), &mode) != 0;
    utf8_code_page = GetACP() == CP_UTF8;
    start_text_output(&standard_output_writer, {&output_handle, console, utf8_code_page, true, "?", write_console,
                                                write_file, encode, decode, report_failure, write_error});
    // Notes and warnings beside a listing go to standard error, as text in
    // the same form; errors stay on standard output, where they have always
    // been.
    bool error_console = GetConsoleMode(handle_of(&error_handle), &mode) != 0;
    start_text_output(&standard_error_writer, {&error_handle, error_console, utf8_code_page, true, "?", write_console,
                                               write_file, encode, decode, report_nothing, write_error});
    keep_warnings_apart(&standard_output_writer, &standard_error_writer);

    Platform platform{};
    platform.registry = {nullptr,    open_key,  query_value, set_value,     delete_value,
                         enum_value, close_key, kernel_name, load_hive_file};
    platform.files = {nullptr,         disable_redirection, revert_redirection, find_first_file, find_close,
                      file_attributes, move_file_ex,        get_last_error,     same_name};
    platform.heap = {nullptr, allocate, release};
    platform.lock = {nullptr, lock, unlock};
    platform.output = text_output_access(&standard_output_writer);
    platform.running_system = true;
    return platform;
}

const char* system_error_text(std::uint32_t code) {
    // Names of keys and values may make it longer than the usual buffer.
    static char damage[2048];
    if (code == HIVE_DAMAGED) {
        int length =
            WideCharToMultiByte(CP_ACP, 0, wide(hive_damage_units()), -1, damage, sizeof damage, nullptr, nullptr);
        damage[length > 0 ? length - 1 : 0] = '\0';
        return damage;
    }
    static char text[ERROR_TEXT_CAPACITY];
    std::memset(text, 0, sizeof text);
    if (const char* hive = hive_code_text(code)) {
        std::strncpy(text, hive, sizeof text - 1);
        return text;
    }
    // Without FORMAT_MESSAGE_IGNORE_INSERTS a message such as "%1 is not a
    // valid Win32 application." would make FormatMessageA read arguments that
    // were never passed.
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    text[sizeof text - 1] = '\0';
    return text;
}

// The system's codes are Windows' own; a code with the application bit
// would be the tool's.
std::uint32_t system_error_number(std::uint32_t code) { return (code & APPLICATION_CODE_BIT) != 0 ? 0 : code; }

const char16_t* system_error_units(std::uint32_t code) {
    if (code == HIVE_DAMAGED) return hive_damage_units();
    static wchar_t text[ERROR_TEXT_CAPACITY];
    std::memset(text, 0, sizeof text);
    if (const char* hive = hive_code_text(code)) {
        for (std::size_t i = 0; hive[i] != '\0' && i + 1 < ERROR_TEXT_CAPACITY; ++i)
            text[i] = static_cast<wchar_t>(hive[i]);
        return reinterpret_cast<const char16_t*>(text);
    }
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, ERROR_TEXT_CAPACITY, nullptr);
    text[ERROR_TEXT_CAPACITY - 1] = L'\0';
    return reinterpret_cast<const char16_t*>(text);
}
