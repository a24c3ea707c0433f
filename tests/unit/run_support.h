// Running the command line in-process against the in-memory platform, and
// the checks every suite makes afterwards.
#pragma once

#include <string>
#include <vector>

#include "platform/memory_platform.h"

// argv[0] as the runs pass it; `{prog}` in a case stands for it.
constexpr const char TEST_PROGRAM[] = "bootmove.exe";
// The current directory every run has.
constexpr const char TEST_DIRECTORY[] = "C:\\bmtest";

struct CommandResult {
    int status;
    std::string output;  // the bytes printed
};

// Runs `TEST_PROGRAM arguments...` over `state`.
CommandResult run_bootmove(MemoryPlatformState* state, const std::vector<std::string>& arguments);

std::string text_of(const std::vector<unsigned char>& bytes);
std::vector<unsigned char> bytes_of(const std::string& text);

int count_calls(const MemoryPlatformState& state, const char* call);

// Fails the test when a key, a search or a heap block is still held, or was
// given back more often than taken.
void expect_nothing_held(const MemoryPlatformState& state);
