// bootmove: schedules, lists and cancels the file operations that Windows
// carries out at its next start.
#include "cli/command_line.h"
#include "platform/win32/win32_platform.h"

// The wide entry point: the arguments exactly as Windows passes them.
int wmain(int argc, wchar_t** argv) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows keeps names in 16-bit units");
    return run_command_line(win32_platform(), argc, reinterpret_cast<const char16_t* const*>(argv));
}
