#include "tests/unit/run_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "cli/command_line.h"

CommandResult run_bootmove(MemoryPlatformState* state, const std::vector<std::u16string>& arguments) {
    std::vector<const char16_t*> argv{TEST_PROGRAM};
    for (const std::u16string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    state->output.clear();
    state->console_output.clear();
    CommandResult result{};
    result.status = run_command_line(memory_platform(state), static_cast<int>(argv.size() - 1), argv.data());
    result.output = state->output;
    return result;
}

CommandResult run_bootmove(MemoryPlatformState* state, const std::vector<std::string>& arguments) {
    std::vector<std::u16string> wide;
    for (const std::string& argument : arguments) wide.push_back(widen(argument));
    return run_bootmove(state, wide);
}

std::u16string widen(const std::string& text) {
    std::u16string units;
    for (char c : text) units.push_back(code_page_unit(static_cast<unsigned char>(c)));
    return units;
}

std::string narrow(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) bytes.push_back(code_page_byte(unit));
    return bytes;
}

std::vector<unsigned char> utf16_bytes(const std::u16string& text) {
    std::vector<unsigned char> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string text_of(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::vector<unsigned char> bytes_of(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

int count_calls(const MemoryPlatformState& state, const char* call) {
    return static_cast<int>(std::count(state.calls.begin(), state.calls.end(), call));
}

void expect_nothing_held(const MemoryPlatformState& state) {
    EXPECT_EQ(state.open_keys, 0) << "registry keys held";
    EXPECT_EQ(state.open_searches, 0) << "searches held";
    EXPECT_EQ(state.live_blocks, 0) << "heap blocks held";
    EXPECT_FALSE(state.redirection_disabled) << "file-system redirection left off";
    EXPECT_EQ(state.locks_held, 0) << "the lock held";
}
