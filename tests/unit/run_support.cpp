#include "tests/unit/run_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cli/command_line.h"

CommandResult run_bootmove(MemoryPlatformState* state, const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{TEST_PROGRAM};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);

    char* buffer = nullptr;
    std::size_t length = 0;
    FILE* out = open_memstream(&buffer, &length);
    if (out == nullptr) std::abort();
    CommandResult result{};
    result.status = run_command_line(memory_platform(state), static_cast<int>(argv.size() - 1), argv.data(), out);
    std::fclose(out);
    result.output.assign(buffer, length);
    std::free(buffer);
    return result;
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
}
