// bootmove: schedules, lists and cancels the file operations that Windows
// carries out at its next start.
#include <cstdio>

#include "cli/command_line.h"
#include "platform/win32_platform.h"

int main(int argc, char** argv) {
    int status = run_command_line(win32_platform(), argc, argv, stdout);
    if (std::fflush(stdout) != 0) status = 1;
    return status;
}
