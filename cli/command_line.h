#pragma once

#include "platform/platform.h"

// The entry point's work: picks the command from the arguments, runs it,
// writes out what it printed and gives the process's exit status (0 or 1; 1
// also when the output could not be written).
int run_command_line(const Platform& platform, int argc, const char16_t* const* argv);

// Prints the usage text with the program's name; gives exit status 1.
int show_usage(const Platform& platform, const char16_t* program);
