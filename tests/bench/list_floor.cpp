// listfloor: the least a lister of the pending operations can do under
// Windows, as a floor for timing "bootmove /l": opens the key, reads
// "PendingFileRenameOperations" with RegQueryValueExW and writes its raw
// bytes to standard output with one WriteFile.
#include <windows.h>

#include <cstdlib>

int wmain() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key)) {
        return 1;
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size)) return 1;
    BYTE* data = static_cast<BYTE*>(std::malloc(size + 1));
    if (data == nullptr || RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, data, &size)) return 1;
    DWORD written = 0;
    return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, size, &written, nullptr) && written == size ? 0 : 1;
}
