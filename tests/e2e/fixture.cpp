// regfixture: sets, reads and deletes the pending-operations values with exact
// bytes, makes the platform write them, and starts a program with exact UTF-16
// arguments, for the Wine suites. Output goes to stdout in binary mode so that
// what is printed is exactly what was read.
//
//   regfixture [-2] set TYPE HEX     stores the value with that type and bytes ("-" for none)
//   regfixture [-2] load TYPE FILE   the same with the bytes of a file
//   regfixture [-2] get              prints "TYPE:HEX" or "absent"
//   regfixture [-2] delete           removes the value (absent is fine)
//   regfixture [-2] append PREFIX COUNT [STOP]
//                                    like another program adding operations: COUNT times,
//                                    or until the file STOP exists, reads the value and
//                                    writes it back with one more operation, a delete of
//                                    PREFIX and a five-digit number counting from 00000;
//                                    prints "ADDED SEEN", SEEN being how often the value
//                                    read was not the one last written
//   regfixture move SRC DST|- FLAGS  a real MoveFileExW; "-" for a delete
//   regfixture errtext CODE          the system's text for CODE, as bootmove prints it
//   regfixture acp                   prints the ANSI code page, GetACP()
//   regfixture hold mutex|event STOP like another program that holds bootmove's lock: takes
//                                    its name as a mutex it owns, or as an event, prints
//                                    "held" and a line feed, and lets go once the file STOP
//                                    exists
//   regfixture hold file:PATH STOP   the same, holding the file PATH open for writing
//   regfixture run EXE [HEX...]      runs EXE with arguments given as the hex of their
//                                    UTF-16LE units ("-" for an empty one), argv[0]
//                                    being EXE; exits with its exit code
//
// "-2" acts on "PendingFileRenameOperations2" instead of "PendingFileRenameOperations";
// "-k KEY" (HKLM\PATH or HKU\PATH) on a value of that key instead of the running
// system's, and "-n NAME" on the value NAME; "set" and "load" make the key.
//   regfixture deltree KEY           removes KEY and all below it (absent is fine)
//   regfixture link KEY TARGET       makes KEY a registry link to TARGET, a kernel name such as
//                                    \REGISTRY\MACHINE\SYSTEM
//   regfixture unlink KEY            removes the link KEY itself, never what it leads to
//   regfixture dacl KEY SDDL         makes KEY and gives it the access list of SDDL, such as
//                                    D:P(D;;GA;;;WD), which refuses everyone everything
// Keys are those of the 64-bit view whatever the fixture's width, so that the
// suites of either width set the same keys; the 32-bit view of SOFTWARE is
// reached by its place in it, SOFTWARE\Wow6432Node.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After <windows.h>, which it needs.
#include <sddl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

HKEY root_key = HKEY_LOCAL_MACHINE;
const wchar_t* key_path = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t* value_name = L"PendingFileRenameOperations";
constexpr REGSAM VIEW = KEY_WOW64_64KEY;

// HKLM\PATH or HKU\PATH: the root, and the path in `*path`.
bool parse_key(const wchar_t* key, HKEY* root, const wchar_t** path) {
    if (std::wcsncmp(key, L"HKLM\\", 5) == 0) {
        *root = HKEY_LOCAL_MACHINE;
        *path = key + 5;
        return true;
    }
    if (std::wcsncmp(key, L"HKU\\", 4) == 0) {
        *root = HKEY_USERS;
        *path = key + 4;
        return true;
    }
    return false;
}

int fail(const char* what, unsigned long code) {
    std::fprintf(stderr, "regfixture: %s failed with code %lu\n", what, code);
    return 2;
}

int usage() {
    std::fprintf(stderr,
                 "usage: regfixture [-2] set TYPE HEX | [-2] load TYPE FILE | [-2] get | [-2] delete\n"
                 "       regfixture [-2] append PREFIX COUNT [STOP]\n"
                 "       regfixture move SRC DST|- FLAGS | errtext CODE | acp | run EXE [HEX...]\n"
                 "       regfixture hold mutex|event STOP | deltree KEY | link KEY TARGET | unlink KEY\n"
                 "       regfixture dacl KEY SDDL\n"
                 "  options before a value's command: -2, -k KEY, -n NAME\n");
    return 2;
}

bool parse_number(const wchar_t* text, unsigned long* number) {
    wchar_t* end = nullptr;
    *number = std::wcstoul(text, &end, 0);
    return *text != L'\0' && *end == L'\0';
}

int hex_digit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

bool parse_hex(const wchar_t* hex, std::vector<unsigned char>* bytes) {
    if (std::wcscmp(hex, L"-") == 0) return true;
    std::size_t length = std::wcslen(hex);
    if (length % 2 != 0) return false;
    for (std::size_t i = 0; i < length; i += 2) {
        int high = hex_digit(hex[i]);
        int low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return true;
}

int with_key(REGSAM access, HKEY* key) {
    LONG status = RegOpenKeyExW(root_key, key_path, 0, access | VIEW, key);
    return status == ERROR_SUCCESS ? 0 : fail("RegOpenKeyExW", static_cast<unsigned long>(status));
}

int store_in(HKEY key, unsigned long type, const std::vector<unsigned char>& bytes) {
    // For the string types RegSetValueExW stores one unit more when the data's
    // last whole unit is not NUL and the unit at byte offset size/2*2 is (for
    // an odd size that unit is the last byte and the byte after; for a single
    // byte the unit checked before it lies in front of the data). 0xFF bytes
    // on both sides keep the stored bytes exactly as given.
    std::vector<unsigned char> buffer{0xFF, 0xFF};
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    buffer.push_back(0xFF);
    buffer.push_back(0xFF);
    LONG status = RegSetValueExW(key, value_name, 0, static_cast<DWORD>(type), buffer.data() + 2,
                                 static_cast<DWORD>(bytes.size()));
    return status == ERROR_SUCCESS ? 0 : fail("RegSetValueExW", static_cast<unsigned long>(status));
}

int store_value(unsigned long type, const std::vector<unsigned char>& bytes) {
    HKEY key = nullptr;
    LONG created = RegCreateKeyExW(root_key, key_path, 0, nullptr, 0, KEY_SET_VALUE | VIEW, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS) return fail("RegCreateKeyExW", static_cast<unsigned long>(created));
    int status = store_in(key, type, bytes);
    RegCloseKey(key);
    return status;
}

// The value's type and bytes. A value that another program makes larger
// between the size and the data is read again.
LONG read_value(HKEY key, DWORD* type, std::vector<unsigned char>* bytes) {
    for (;;) {
        DWORD size = 0;
        LONG status = RegQueryValueExW(key, value_name, nullptr, type, nullptr, &size);
        if (status != ERROR_SUCCESS) return status;
        bytes->assign(size + 1, 0);
        status = RegQueryValueExW(key, value_name, nullptr, type, bytes->data(), &size);
        if (status == ERROR_MORE_DATA) continue;
        if (status == ERROR_SUCCESS) bytes->resize(size);
        return status;
    }
}

int set_value(const wchar_t* type_text, const wchar_t* hex) {
    unsigned long type = 0;
    std::vector<unsigned char> bytes;
    if (!parse_number(type_text, &type) || !parse_hex(hex, &bytes)) return usage();
    return store_value(type, bytes);
}

// For values too large for a command line: the bytes come from a file.
int load_value(const wchar_t* type_text, const wchar_t* path) {
    unsigned long type = 0;
    if (!parse_number(type_text, &type)) return usage();
    FILE* file = _wfopen(path, L"rb");
    if (file == nullptr) return fail("_wfopen", static_cast<unsigned long>(errno));
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return store_value(type, bytes);
}

int get_value() {
    HKEY key = nullptr;
    LONG opened = RegOpenKeyExW(root_key, key_path, 0, KEY_QUERY_VALUE | VIEW, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        std::printf("absent");
        return 0;
    }
    if (opened != ERROR_SUCCESS) return fail("RegOpenKeyExW", static_cast<unsigned long>(opened));
    DWORD type = 0;
    std::vector<unsigned char> data;
    LONG status = read_value(key, &type, &data);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) {
        std::printf("absent");
        return 0;
    }
    if (status != ERROR_SUCCESS) return fail("RegQueryValueExW", static_cast<unsigned long>(status));
    std::printf("%lu:", static_cast<unsigned long>(type));
    for (unsigned char byte : data) std::printf("%02X", byte);
    return 0;
}

int delete_value() {
    HKEY key = nullptr;
    if (int status = with_key(KEY_SET_VALUE, &key)) return status;
    LONG status = RegDeleteValueW(key, value_name);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return 0;
    return fail("RegDeleteValueW", static_cast<unsigned long>(status));
}

void append_units(std::vector<unsigned char>* bytes, const std::wstring& units) {
    for (wchar_t unit : units) {
        bytes->push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes->push_back(static_cast<unsigned char>(unit >> 8 & 0xFF));
    }
}

int append_operations(const wchar_t* prefix, const wchar_t* count_text, const wchar_t* stop) {
    unsigned long count = 0;
    if (!parse_number(count_text, &count) || count > 99999) return usage();
    HKEY key = nullptr;
    if (int status = with_key(KEY_QUERY_VALUE | KEY_SET_VALUE, &key)) return status;
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> written;
    unsigned long added = 0;
    unsigned long seen = 0;
    for (; added < count; ++added) {
        if (stop != nullptr && GetFileAttributesW(stop) != INVALID_FILE_ATTRIBUTES) break;
        DWORD type = REG_MULTI_SZ;
        LONG status = read_value(key, &type, &bytes);
        if (status == ERROR_FILE_NOT_FOUND) {
            type = REG_MULTI_SZ;
            bytes.clear();
        } else if (status != ERROR_SUCCESS) {
            RegCloseKey(key);
            return fail("RegQueryValueExW", static_cast<unsigned long>(status));
        }
        if (added > 0 && bytes != written) ++seen;
        // As the system appends: the closing empty string gives way to the
        // new operation and comes again after it.
        std::size_t size = bytes.size();
        if (size >= 2 && size % 2 == 0 && bytes[size - 1] == 0 && bytes[size - 2] == 0) bytes.resize(size - 2);
        std::wstring source = std::wstring(L"\\??\\") + prefix;
        for (unsigned long digit = 10000; digit > 0; digit /= 10)
            source += static_cast<wchar_t>(L'0' + added / digit % 10);
        append_units(&bytes, source);
        append_units(&bytes, std::wstring(3, L'\0'));  // its NUL, the empty target, the closing empty string
        if (int failed = store_in(key, type, bytes)) {
            RegCloseKey(key);
            return failed;
        }
        written = bytes;
    }
    RegCloseKey(key);
    std::printf("%lu %lu", added, seen);
    return 0;
}

int move_file(const wchar_t* source, const wchar_t* target, const wchar_t* flags_text) {
    unsigned long flags = 0;
    if (!parse_number(flags_text, &flags)) return usage();
    if (std::wcscmp(target, L"-") == 0) target = nullptr;
    if (!MoveFileExW(source, target, static_cast<DWORD>(flags))) return fail("MoveFileExW", GetLastError());
    return 0;
}

int error_text(const wchar_t* code_text) {
    unsigned long code = 0;
    if (!parse_number(code_text, &code)) return usage();
    char text[256];
    std::memset(text, 0, sizeof text);
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    text[sizeof text - 1] = '\0';
    std::fwrite(text, 1, std::strlen(text), stdout);
    return 0;
}

int hold_lock(const std::wstring& kind, const wchar_t* stop) {
    const wchar_t name[] = L"Global\\bootmove.PendingFileRenameOperations";
    HANDLE object = nullptr;
    if (kind.compare(0, 5, L"file:") == 0) {
        object = CreateFileW(kind.c_str() + 5, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (object == INVALID_HANDLE_VALUE) return fail("CreateFileW", GetLastError());
    } else {
        object = kind == L"mutex" ? CreateMutexW(nullptr, TRUE, name) : CreateEventW(nullptr, TRUE, FALSE, name);
        if (object == nullptr) return fail(kind == L"mutex" ? "CreateMutexW" : "CreateEventW", GetLastError());
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (GetFileAttributesW(stop) == INVALID_FILE_ATTRIBUTES) Sleep(20);
    CloseHandle(object);
    return 0;
}

// One argument as the C runtime's parser reads it back: bare when it has no
// blank, tab or quote; else in quotes, each quote escaped and the backslashes
// in front of a quote (the closing one too) doubled.
void append_argument(std::wstring* line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *line += argument;
        return;
    }
    *line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') backslashes = backslashes * 2 + 1;
        line->append(backslashes, L'\\');
        *line += c;
        backslashes = 0;
    }
    line->append(backslashes * 2, L'\\');
    *line += L'"';
}

int run_program(int count, wchar_t** arguments) {
    // argv[0] is read up to the closing quote, without escapes.
    std::wstring exe = arguments[0];
    std::wstring line = L"\"" + exe + L"\"";
    for (int i = 1; i < count; ++i) {
        std::wstring hex = arguments[i];
        std::vector<unsigned char> bytes;
        if (!parse_hex(hex.c_str(), &bytes) || bytes.size() % 2 != 0) return usage();
        std::wstring argument;
        for (std::size_t at = 0; at < bytes.size(); at += 2)
            argument += static_cast<wchar_t>(bytes[at] | bytes[at + 1] << 8);
        line += L' ';
        append_argument(&line, argument);
    }
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION process;
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(L'\0');
    if (!CreateProcessW(exe.c_str(), writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return fail("CreateProcessW", GetLastError());
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    if (!GetExitCodeProcess(process.hProcess, &status)) status = 2;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

}  // namespace

int make_link(HKEY root, const wchar_t* path, const wchar_t* target) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK,
                                  KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return fail("RegCreateKeyExW", static_cast<unsigned long>(status));
    status = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target),
                            static_cast<DWORD>(std::wcslen(target) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : fail("RegSetValueExW", static_cast<unsigned long>(status));
}

// RegDeleteKeyW would follow the link and delete what it leads to.
int remove_link(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(root, path, REG_OPTION_OPEN_LINK, DELETE, &key);
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return fail("RegOpenKeyExW", static_cast<unsigned long>(status));
    using NtDeleteKeyCall = LONG(WINAPI*)(HANDLE);
    auto remove = reinterpret_cast<NtDeleteKeyCall>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
    status = remove != nullptr ? remove(key) : -1;
    RegCloseKey(key);
    return status == 0 ? 0 : fail("NtDeleteKey", static_cast<unsigned long>(status));
}

int delete_tree(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(root, path, 0, KEY_ALL_ACCESS | VIEW, &key);
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status == ERROR_SUCCESS) {
        status = RegDeleteTreeW(key, nullptr);
        RegCloseKey(key);
    }
    if (status == ERROR_SUCCESS) status = RegDeleteKeyExW(root, path, VIEW, 0);
    return status == ERROR_SUCCESS ? 0 : fail("RegDeleteTreeW", static_cast<unsigned long>(status));
}

int set_access(HKEY root, const wchar_t* path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return fail("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
    HKEY key = nullptr;
    // The owner may always change the access list, even of a key it refused itself.
    LONG status = RegCreateKeyExW(root, path, 0, nullptr, 0, WRITE_DAC | VIEW, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return status == ERROR_SUCCESS ? 0 : fail("RegSetKeySecurity", static_cast<unsigned long>(status));
}

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    int first = 1;
    bool value_option = false;  // an option for a value was given
    for (; first < argc && argv[first][0] == L'-'; ++first) {
        if (std::wcscmp(argv[first], L"-2") == 0) {
            value_name = L"PendingFileRenameOperations2";
        } else if (std::wcscmp(argv[first], L"-n") == 0 && first + 1 < argc) {
            value_name = argv[++first];
        } else if (std::wcscmp(argv[first], L"-k") != 0 || first + 1 >= argc ||
                   !parse_key(argv[++first], &root_key, &key_path)) {
            return usage();
        }
        value_option = true;
    }
    std::wstring command = argc > first ? argv[first] : L"";
    int count = argc - first;  // the command and its arguments
    wchar_t** args = argv + first;
    int status = 0;
    if (command == L"set" && count == 3) {
        status = set_value(args[1], args[2]);
    } else if (command == L"load" && count == 3) {
        status = load_value(args[1], args[2]);
    } else if (command == L"get" && count == 1) {
        status = get_value();
    } else if (command == L"delete" && count == 1) {
        status = delete_value();
    } else if (command == L"append" && (count == 3 || count == 4)) {
        status = append_operations(args[1], args[2], count == 4 ? args[3] : nullptr);
    } else if (command == L"move" && count == 4 && !value_option) {
        status = move_file(args[1], args[2], args[3]);
    } else if (command == L"errtext" && count == 2 && !value_option) {
        status = error_text(args[1]);
    } else if (command == L"acp" && count == 1 && !value_option) {
        std::printf("%u", GetACP());
    } else if (command == L"deltree" && count == 2 && !value_option) {
        HKEY root = nullptr;
        const wchar_t* path = nullptr;
        if (!parse_key(args[1], &root, &path)) return usage();
        status = delete_tree(root, path);
    } else if (command == L"dacl" && count == 3 && !value_option) {
        HKEY root = nullptr;
        const wchar_t* path = nullptr;
        if (!parse_key(args[1], &root, &path)) return usage();
        status = set_access(root, path, args[2]);
    } else if ((command == L"link" && count == 3) || (command == L"unlink" && count == 2)) {
        HKEY root = nullptr;
        const wchar_t* path = nullptr;
        if (value_option || !parse_key(args[1], &root, &path)) return usage();
        status = command == L"link" ? make_link(root, path, args[2]) : remove_link(root, path);
    } else if (command == L"hold" && count == 3 && !value_option &&
               (args[1] == std::wstring(L"mutex") || args[1] == std::wstring(L"event") ||
                std::wstring(args[1]).compare(0, 5, L"file:") == 0)) {
        status = hold_lock(args[1], args[2]);
    } else if (command == L"run" && count >= 2 && !value_option) {
        status = run_program(count - 1, args + 1);
    } else {
        status = usage();
    }
    if (std::fflush(stdout) != 0) status = 2;
    return status;
}
