#pragma once

#include "platform/platform.h"

// The entry point's work: reads the arguments, runs the command they ask
// for, writes out what it printed and gives the process's exit status (0 or
// 1; 1 also when the output could not be written).
int run_command_line(const Platform& platform, int argc, const char16_t* const* argv);
