// Drives "/l" and "/c" through the in-memory platform with arbitrary value
// bytes, types, names and one optional failing platform call, and checks what
// must hold whatever the value holds:
// - listing prints exactly one line per operation of an independent reading
//   of the pairs;
// - a cancel that matched writes back the value less exactly the bytes of the
//   first matching operation, so that every other operation keeps its pairing
//   and every byte after the list's end is kept; one that did not match, or
//   that met a failure, writes nothing;
// - nothing leaks, and nothing is read outside the value's bytes (the read
//   buffer is exactly the value's size, so AddressSanitizer sees an over-read).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/memory_platform.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct ModelOperation {
    std::size_t begin;
    std::size_t end;
    bool orphan;
    std::string source;  // name: less '!' and "\??\"
    std::string target;
    bool is_delete;
};

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

std::size_t string_end(const Bytes& data, std::size_t at) {
    while (at < data.size() && data[at] != 0) ++at;
    return at;
}

std::string name_of(const Bytes& data, std::size_t at, std::size_t end) {
    std::string text(data.begin() + static_cast<std::ptrdiff_t>(at), data.begin() + static_cast<std::ptrdiff_t>(end));
    if (!text.empty() && text[0] == '!') text.erase(0, 1);
    if (text.compare(0, 4, "\\??\\") == 0) text.erase(0, 4);
    return text;
}

// The pairs as the operating system stores them, read without the tool's code.
std::vector<ModelOperation> read_pairs(const Bytes& data, std::size_t* list_end) {
    std::vector<ModelOperation> operations;
    std::size_t at = 0;
    while (at < data.size() && data[at] != 0) {
        ModelOperation operation{at, 0, data[at] == '!', "", "", false};
        std::size_t end = string_end(data, at);
        operation.source = name_of(data, at, end);
        std::size_t next = end < data.size() ? end + 1 : end;
        if (!operation.orphan) {
            if (next >= data.size() || data[next] == 0) {
                operation.is_delete = true;
                next = next < data.size() ? next + 1 : next;
            } else {
                std::size_t target_end = string_end(data, next);
                operation.target = name_of(data, next, target_end);
                next = target_end < data.size() ? target_end + 1 : target_end;
            }
        }
        operation.end = next;
        operations.push_back(operation);
        at = next;
    }
    *list_end = at;
    return operations;
}

bool same_name(const std::string& left, const std::string& right) {
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
        char a = left[i] >= 'A' && left[i] <= 'Z' ? static_cast<char>(left[i] + 32) : left[i];
        char b = right[i] >= 'A' && right[i] <= 'Z' ? static_cast<char>(right[i] + 32) : right[i];
        if (a != b) return false;
    }
    return true;
}

std::string expected_listing(const std::vector<ModelOperation>& operations) {
    std::string text;
    for (const ModelOperation& operation : operations) {
        if (operation.orphan) {
            text += " -> " + operation.source + "\n";
        } else {
            text += "File " + operation.source + " -> " + (operation.is_delete ? "(delete)" : operation.target) + "\n";
        }
    }
    return text;
}

const char* const FAILING_CALLS[] = {CALL_OPEN_KEY, CALL_QUERY_SIZE, CALL_QUERY_DATA, CALL_ALLOCATE, CALL_SET_VALUE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size < 5) return 0;
    const unsigned mode = input[0] % 3u;  // list, cancel by source, cancel by source and target
    const unsigned failure = input[1] % 8u;
    const std::uint32_t type = input[2] % 12u;
    const std::size_t source_length = input[3] % 24u;
    const std::size_t target_length = input[4] % 24u;
    std::size_t at = 5;
    if (size < at + source_length + target_length) return 0;
    // Names come from the command line, so they end at their first NUL.
    std::string source(reinterpret_cast<const char*>(input + at), source_length);
    source = source.c_str();
    at += source_length;
    std::string target(reinterpret_cast<const char*>(input + at), target_length);
    target = target.c_str();
    at += target_length;
    const Bytes before(input + at, input + size);

    MemoryPlatformState state;
    state.value = MemoryValue{true, type, before};
    if (failure < sizeof FAILING_CALLS / sizeof FAILING_CALLS[0]) {
        // The second allocation is the cancel's new buffer.
        int occurrence = failure == 3 && (input[1] & 0x80) ? 2 : 1;
        state.failures.push_back({FAILING_CALLS[failure], occurrence, 5});
    }
    Platform platform = memory_platform(&state);

    std::vector<const char*> argv = {"bootmove.exe"};
    if (mode == 0) {
        argv.push_back("/l");
    } else {
        argv.push_back("/c");
        argv.push_back(source.c_str());
        if (mode == 2) argv.push_back(target.c_str());
    }

    char* printed = nullptr;
    std::size_t printed_size = 0;
    FILE* out = open_memstream(&printed, &printed_size);
    int status = run_command_line(platform, static_cast<int>(argv.size()), argv.data(), out);
    std::fclose(out);
    std::string output(printed, printed_size);
    std::free(printed);

    require(state.open_keys == 0 && state.live_blocks == 0, "everything taken is given back");
    const bool failed = output.compare(0, 7, "error: ") == 0;
    require(!failed || status == 1, "a failure ends with status 1");

    std::size_t list_end = 0;
    std::vector<ModelOperation> operations = read_pairs(before, &list_end);
    if (mode == 0) {
        require(state.writes.empty(), "listing never writes");
        if (!failed) {
            require(status == 0, "listing succeeds");
            require(output == expected_listing(operations), "one line per operation");
        }
        return 0;
    }

    const ModelOperation* match = nullptr;
    for (const ModelOperation& operation : operations) {
        if (operation.orphan || !same_name(operation.source, source)) continue;
        if (mode == 2 && !same_name(operation.target, target)) continue;
        match = &operation;
        break;
    }
    if (failed || match == nullptr) {
        require(state.writes.empty(), "nothing written");
        require(state.value.data == before && state.value.type == type, "value untouched");
        require(status == 1, "failure status");
        return 0;
    }
    require(status == 0 && output.empty(), "a cancel prints nothing");
    require(state.writes.size() == 1, "one write");
    Bytes expected(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(match->begin));
    expected.insert(expected.end(), before.begin() + static_cast<std::ptrdiff_t>(match->end), before.end());
    require(state.value.data == expected, "exactly the operation's bytes removed");
    require(state.value.type == type, "type kept");

    // Read again, the value holds the same operations less the one removed,
    // each paired as before, and the same bytes after the list's end.
    std::size_t new_list_end = 0;
    std::vector<ModelOperation> remaining = read_pairs(expected, &new_list_end);
    require(remaining.size() + 1 == operations.size(), "one operation fewer");
    std::size_t shift = 0;
    for (std::size_t i = 0; i < remaining.size(); ++i) {
        const ModelOperation& old = operations[i < static_cast<std::size_t>(match - operations.data()) ? i : i + 1];
        if (&old > match) shift = match->end - match->begin;
        require(remaining[i].begin + shift == old.begin && remaining[i].end + shift == old.end, "pairing kept");
    }
    require(expected.size() - new_list_end == before.size() - list_end, "bytes after the list kept");
    return 0;
}
