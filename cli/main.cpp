// bootmove: schedules, lists and cancels the file operations that Windows
// carries out at its next start.
#include <cstdio>

#include "cli/command_line.h"
#include "platform/win32_platform.h"

int main(int argc, char** argv) {
    // The C runtime leaves stdout unbuffered on a console or any other
    // character device, which costs one system call per piece of a line;
    // everything goes out at the end through the one buffered stream instead.
    static char buffer[64 * 1024];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    int status = run_command_line(win32_platform(), argc, argv, stdout);
    if (std::fflush(stdout) != 0) status = 1;
    return status;
}
