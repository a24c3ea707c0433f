// regfixture: sets, reads and deletes the pending-operations value with exact
// bytes, and makes the platform write it, for the Wine suites. Output goes to
// stdout in binary mode so that what is printed is exactly what was read.
//
//   regfixture set TYPE HEX        stores the value with that type and bytes ("-" for none)
//   regfixture load TYPE FILE      the same with the bytes of a file
//   regfixture get                 prints "TYPE:HEX" or "absent"
//   regfixture delete              removes the value (absent is fine)
//   regfixture move SRC DST|- FLAGS  a real MoveFileExA; "-" for a delete
//   regfixture errtext CODE        the system's text for CODE, as bootmove prints it
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char KEY_PATH[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char VALUE_NAME[] = "PendingFileRenameOperations";

int fail(const char* what, unsigned long code) {
    std::fprintf(stderr, "regfixture: %s failed with code %lu\n", what, code);
    return 2;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: regfixture set TYPE HEX | load TYPE FILE | get | delete | move SRC DST|- FLAGS | errtext CODE\n");
    return 2;
}

bool parse_number(const char* text, unsigned long* number) {
    char* end = nullptr;
    *number = std::strtoul(text, &end, 0);
    return *text != '\0' && *end == '\0';
}

bool parse_hex(const std::string& hex, std::vector<unsigned char>* bytes) {
    if (hex == "-") return true;
    if (hex.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        unsigned long byte = 0;
        if (!parse_number(("0x" + hex.substr(i, 2)).c_str(), &byte) || byte > 0xFF) return false;
        bytes->push_back(static_cast<unsigned char>(byte));
    }
    return true;
}

int with_key(REGSAM access, HKEY* key) {
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KEY_PATH, 0, access, key);
    return status == ERROR_SUCCESS ? 0 : fail("RegOpenKeyExA", static_cast<unsigned long>(status));
}

int store_value(unsigned long type, const std::vector<unsigned char>& bytes) {
    // For the string types RegSetValueExA also stores the byte after the
    // data when the data's last byte is not NUL and that byte is NUL; a
    // non-NUL byte there keeps the stored bytes exactly as given.
    std::vector<unsigned char> buffer(bytes);
    buffer.push_back(0xFF);
    HKEY key = nullptr;
    if (int status = with_key(KEY_SET_VALUE, &key)) return status;
    LONG status =
        RegSetValueExA(key, VALUE_NAME, 0, static_cast<DWORD>(type), buffer.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : fail("RegSetValueExA", static_cast<unsigned long>(status));
}

int set_value(const char* type_text, const char* hex) {
    unsigned long type = 0;
    std::vector<unsigned char> bytes;
    if (!parse_number(type_text, &type) || !parse_hex(hex, &bytes)) return usage();
    return store_value(type, bytes);
}

// For values too large for a command line: the bytes come from a file.
int load_value(const char* type_text, const char* path) {
    unsigned long type = 0;
    if (!parse_number(type_text, &type)) return usage();
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return fail("fopen", static_cast<unsigned long>(errno));
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return store_value(type, bytes);
}

int get_value() {
    HKEY key = nullptr;
    if (int status = with_key(KEY_QUERY_VALUE, &key)) return status;
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, VALUE_NAME, nullptr, &type, nullptr, &size);
    std::vector<unsigned char> data(size + 1);
    if (status == ERROR_SUCCESS) status = RegQueryValueExA(key, VALUE_NAME, nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) {
        std::printf("absent");
        return 0;
    }
    if (status != ERROR_SUCCESS) return fail("RegQueryValueExA", static_cast<unsigned long>(status));
    std::printf("%lu:", static_cast<unsigned long>(type));
    for (DWORD i = 0; i < size; ++i) std::printf("%02X", data[i]);
    return 0;
}

int delete_value() {
    HKEY key = nullptr;
    if (int status = with_key(KEY_SET_VALUE, &key)) return status;
    LONG status = RegDeleteValueA(key, VALUE_NAME);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return 0;
    return fail("RegDeleteValueA", static_cast<unsigned long>(status));
}

int move_file(const char* source, const char* target, const char* flags_text) {
    unsigned long flags = 0;
    if (!parse_number(flags_text, &flags)) return usage();
    if (std::strcmp(target, "-") == 0) target = nullptr;
    if (!MoveFileExA(source, target, static_cast<DWORD>(flags))) return fail("MoveFileExA", GetLastError());
    return 0;
}

int error_text(const char* code_text) {
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

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    std::string command = argc > 1 ? argv[1] : "";
    int status = 0;
    if (command == "set" && argc == 4) {
        status = set_value(argv[2], argv[3]);
    } else if (command == "load" && argc == 4) {
        status = load_value(argv[2], argv[3]);
    } else if (command == "get" && argc == 2) {
        status = get_value();
    } else if (command == "delete" && argc == 2) {
        status = delete_value();
    } else if (command == "move" && argc == 5) {
        status = move_file(argv[2], argv[3], argv[4]);
    } else if (command == "errtext" && argc == 3) {
        status = error_text(argv[2]);
    } else {
        status = usage();
    }
    if (std::fflush(stdout) != 0) status = 2;
    return status;
}
