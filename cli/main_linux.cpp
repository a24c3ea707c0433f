// bootmove on Linux: lists and cancels the pending file operations of a
// Windows SYSTEM hive file.
#include "cli/command_line.h"
#include "platform/posix/posix_platform.h"

int main(int argc, char** argv) {
    Platform platform = posix_platform();
    return run_command_line(platform, argc, posix_arguments(argc, argv));
}
