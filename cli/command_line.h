#pragma once

#include <cstdio>

#include "platform/platform.h"

// The entry point's work: picks the command from the arguments, runs it and
// gives the process's exit status (0 or 1).
int run_command_line(const Platform& platform, int argc, const char* const* argv, FILE* out);

// Prints the usage text with the program's name; gives exit status 1.
int show_usage(const char* program, FILE* out);
