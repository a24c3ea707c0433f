// Running the command line in-process against the in-memory platform, and
// the checks every suite makes afterwards.
#pragma once

#include <string>
#include <vector>

#include "tests/memory/memory_platform.h"

// argv[0] as the runs pass it; `{prog}` in a case stands for it.
constexpr char16_t TEST_PROGRAM[] = u"bootmove.exe";
// The current directory every run has.
constexpr char16_t TEST_DIRECTORY[] = u"C:\\bmtest";

struct CommandResult {
    int status;
    std::string output;  // the bytes written to standard output, CR LF and all
};

// Runs `TEST_PROGRAM arguments...` over `state`.
CommandResult run_bootmove(MemoryPlatformState* state, const std::vector<std::u16string>& arguments);
// The same with arguments written in code page 1252.
CommandResult run_bootmove(MemoryPlatformState* state, const std::vector<std::string>& arguments);

// Text in code page 1252 as UTF-16, and back ('?' for what it lacks).
std::u16string widen(const std::string& text);
std::string narrow(const std::u16string& text);
// UTF-16LE bytes of the units, as the registry keeps them.
std::vector<unsigned char> utf16_bytes(const std::u16string& text);
// Each line feed as CR LF, as a text stream on Windows writes it.
std::string crlf(const std::string& text);

std::string text_of(const std::vector<unsigned char>& bytes);
std::vector<unsigned char> bytes_of(const std::string& text);

int count_calls(const MemoryPlatformState& state, const char* call);

// Fails the test when a key, a search or a heap block is still held, or was
// given back more often than taken.
void expect_nothing_held(const MemoryPlatformState& state);
