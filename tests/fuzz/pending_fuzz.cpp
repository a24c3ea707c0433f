// Drives "/l", "/l /fo json", "/c" and "/d" through the in-memory platform
// with arbitrary value bytes in either pending value or both, types, UTF-16
// names, a console or a file for standard output, and one optional failing
// platform call, and checks what must hold whatever the values hold:
// - listing prints exactly one line per operation of an independent reading
//   of the pairs, each value on its own, names in code page 1252 with one '?'
//   for each character it lacks;
// - the JSON document is printable ASCII, and an error only on a failing call;
// - on a console no control character of a name reaches the screen, and no
//   half of a surrogate pair;
// - a cancel that matched writes back only the value that held the first
//   match, less exactly that operation's bytes, every other byte unchanged
//   (a closing NUL unit put back when the cut reached the end of the data);
//   one that did not match, or that met a failure, writes nothing;
// - a delete added by the system after whatever the first value holds pairs
//   as its own, inside the list the restart reads, and leaves every other
//   pair as it was;
// - nothing leaks, and nothing is read outside the values' bytes (the buffers
//   the reads fill are checked by AddressSanitizer).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "tests/memory/memory_platform.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct ModelOperation {
    std::size_t begin;  // in units
    std::size_t end;
    std::u16string source;  // the names, less marks and "\??\"
    std::u16string target;
};

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

std::u16string units_of(const Bytes& data) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    return units;
}

std::size_t string_end(const std::u16string& units, std::size_t at) {
    while (at < units.size() && units[at] != 0) ++at;
    return at;
}

std::u16string less_prefix(std::u16string text) {
    if (text.compare(0, 4, u"\\??\\") == 0) text.erase(0, 4);
    return text;
}

// The units of a mark, '*' and ASCII digits, at the start of `text`.
std::size_t mark_length(const std::u16string& text) {
    if (text.empty() || text[0] != u'*') return 0;
    std::size_t length = 1;
    while (length < text.size() && text[length] >= u'0' && text[length] <= u'9') ++length;
    return length;
}

// A source less a mark and "\??\", or less "\??\".
std::u16string source_name(const std::u16string& text) {
    std::size_t mark = mark_length(text);
    if (mark > 0 && text.compare(mark, 4, u"\\??\\") == 0) return text.substr(mark + 4);
    return less_prefix(text);
}

// A target less '!' and "\??\", or less a mark, a '!' and "\??\".
std::u16string target_name(const std::u16string& text) {
    if (!text.empty() && text[0] == u'!') return less_prefix(text.substr(1));
    std::size_t mark = mark_length(text);
    std::size_t after = mark > 0 && text.compare(mark, 1, u"!") == 0 ? mark + 1 : mark;
    if (mark > 0 && text.compare(after, 4, u"\\??\\") == 0) return text.substr(after + 4);
    return less_prefix(text);
}

// The pairs by position, as the restart takes them, read without the tool's
// code.
std::vector<ModelOperation> read_pairs(const std::u16string& units) {
    std::vector<ModelOperation> operations;
    std::size_t at = 0;
    while (at < units.size() && units[at] != 0) {
        ModelOperation operation{at, 0, u"", u""};
        std::size_t end = string_end(units, at);
        operation.source = source_name(units.substr(at, end - at));
        std::size_t next = end < units.size() ? end + 1 : end;
        if (next < units.size()) {
            std::size_t target_end = string_end(units, next);
            operation.target = target_name(units.substr(next, target_end - next));
            next = target_end < units.size() ? target_end + 1 : target_end;
        }
        operation.end = next;
        operations.push_back(operation);
        at = next;
    }
    return operations;
}

bool same_name(const std::u16string& left, const std::u16string& right) {
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
        char16_t a = left[i] >= u'A' && left[i] <= u'Z' ? static_cast<char16_t>(left[i] + 32) : left[i];
        char16_t b = right[i] >= u'A' && right[i] <= u'Z' ? static_cast<char16_t>(right[i] + 32) : right[i];
        if (a != b) return false;
    }
    return true;
}

std::string shown(const std::u16string& name) {
    std::string bytes;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char16_t unit = name[i];
        bool pair =
            unit >= 0xD800 && unit <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF;
        if (pair) ++i;
        char byte = unit >= 0xD800 && unit <= 0xDFFF ? '?' : code_page_byte(unit);
        bytes += byte;
    }
    return bytes;
}

std::string expected_listing(const std::vector<ModelOperation>& operations) {
    std::string text;
    for (const ModelOperation& operation : operations) {
        text += "File " + shown(operation.source) + " -> " +
                (operation.target.empty() ? std::string("(delete)") : shown(operation.target)) + "\r\n";
    }
    return text;
}

// Nothing on the console that a terminal would act on: only the line ends
// the tool writes itself, and no half of a character.
void require_harmless(const std::u16string& console) {
    for (std::size_t i = 0; i < console.size(); ++i) {
        char16_t unit = console[i];
        if (unit == u'\r') {
            // The system's texts end in CR LF of their own.
            require(i + 1 < console.size() && (console[i + 1] == u'\n' || console[i + 1] == u'\r'),
                    "a carriage return only at a line's end");
            continue;
        }
        require(unit == u'\t' || unit == u'\n' || !(unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)),
                "no control character on the console");
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            require(i + 1 < console.size() && console[i + 1] >= 0xDC00 && console[i + 1] <= 0xDFFF,
                    "a high surrogate only in a pair");
            ++i;
        } else {
            require(!(unit >= 0xDC00 && unit <= 0xDFFF), "a low surrogate only in a pair");
        }
    }
}

// A name from the command line: units up to the first NUL.
std::u16string name_from(const std::uint8_t* input, std::size_t units) {
    std::u16string name;
    for (std::size_t i = 0; i < units; ++i) {
        char16_t unit = static_cast<char16_t>(input[2 * i] | (input[2 * i + 1] << 8));
        if (unit == 0) break;
        name.push_back(unit);
    }
    return name;
}

const char* const FAILING_CALLS[] = {CALL_OPEN_KEY, CALL_QUERY_SIZE, CALL_QUERY_DATA, CALL_ALLOCATE, CALL_SET_VALUE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size < 6) return 0;
    const unsigned mode = input[0] % 5u;  // list, cancel by source, by source and target, delete, JSON
    const unsigned failure = input[1] % 8u;
    const std::uint32_t type = input[2] % 12u;
    const std::size_t source_units = input[3] % 16u;
    const std::size_t target_units = input[4] % 16u;
    const unsigned placing = input[5] % 4u;  // the data in the first value, the second, split, or both
    const bool console = (input[5] & 0x80) != 0;
    std::size_t at = 6;
    if (size < at + 2 * (source_units + target_units)) return 0;
    const std::u16string source = name_from(input + at, source_units);
    at += 2 * source_units;
    const std::u16string target = name_from(input + at, target_units);
    at += 2 * target_units;
    const Bytes data(input + at, input + size);

    Bytes values[2];
    bool present[2] = {placing != 1, placing != 0};
    std::size_t split = data.size() / 2;
    values[0] = placing == 2 ? Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(split)) : data;
    values[1] = placing == 2 ? Bytes(data.begin() + static_cast<std::ptrdiff_t>(split), data.end()) : data;

    MemoryPlatformState state;
    state.value = MemoryValue{present[0], type, present[0] ? values[0] : Bytes()};
    state.second = MemoryValue{present[1], type, present[1] ? values[1] : Bytes()};
    state.console = console;
    if (failure < sizeof FAILING_CALLS / sizeof FAILING_CALLS[0]) {
        int occurrence = (input[1] & 0x80) ? 2 : 1;
        std::uint32_t code = (input[1] & 0x40) ? 234 : 5;
        state.failures.push_back({FAILING_CALLS[failure], occurrence, code});
    }
    Platform platform = memory_platform(&state);

    std::vector<const char16_t*> argv = {u"bootmove.exe"};
    state.entries = {u"C:\\f"};
    if (mode == 0) {
        argv.push_back(u"/l");
    } else if (mode == 4) {
        argv.push_back(u"/l");
        argv.push_back(u"/fo");
        argv.push_back(u"json");
    } else if (mode == 3) {
        argv.push_back(u"/d");
        argv.push_back(u"C:\\f");
    } else {
        argv.push_back(u"/c");
        argv.push_back(source.c_str());
        if (mode == 2) argv.push_back(target.c_str());
    }
    int status = run_command_line(platform, static_cast<int>(argv.size()), argv.data());

    require(state.open_keys == 0 && state.live_blocks == 0, "everything taken is given back");
    if (console) {
        require(state.output.empty(), "nothing to a file when the output is a console");
        require_harmless(state.console_output);
        return 0;
    }
    const std::string& output = state.output;
    // A failing call may bite or not (a data query that says "more data" is
    // made again); without one, every outcome is known.
    const bool injected = !state.failures.empty();
    const bool failed = status != 0;
    require(status == 0 || status == 1, "status 0 or 1");

    std::vector<ModelOperation> operations[2];
    for (int which = 0; which < 2; ++which) {
        if (present[which]) operations[which] = read_pairs(units_of(values[which]));
    }
    if (mode == 0) {
        require(state.writes.empty(), "listing never writes");
        require(injected || failed == !(present[0] || present[1]), "listing fails only when no value exists");
        if (!failed) {
            require(output == expected_listing(operations[0]) + expected_listing(operations[1]),
                    "one line per operation, the first value's first");
        }
        return 0;
    }

    if (mode == 4) {
        // One document of printable ASCII and line ends, whatever the names
        // hold; it fails only on a failing call.
        require(state.writes.empty(), "listing never writes");
        require(injected || !failed, "the document fails only on a failing call");
        for (char c : output) require((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n', "ASCII only");
        require(output.compare(0, failed ? 10 : 15, failed ? "{\"error\": " : "{\"operations\": ") == 0,
                "an error or the operations");
        return 0;
    }
    if (mode == 3) {
        // The delete lands inside the list, after every operation of the
        // first value, and pairs as its own; a value whose list runs to an
        // odd last byte cannot take it. The list as the restart reads it
        // never changes but for the delete, whatever failed.
        std::size_t units = values[0].size() / 2;
        std::size_t end = operations[0].empty() ? 0 : operations[0].back().end;
        bool runs_to_end = !present[0] || end == units;
        bool refusable = present[0] && (type != VALUE_TYPE_MULTI_SZ || (values[0].size() % 2 != 0 && runs_to_end));
        require(injected || failed == refusable, "a delete fails only on a value it cannot add to");
        require(injected || !failed || state.value.data == (present[0] ? values[0] : Bytes()), "refused untouched");
        std::u16string now = units_of(state.value.data);
        std::vector<ModelOperation> after = read_pairs(now);
        bool added = after.size() == operations[0].size() + 1;
        require(added || after.size() == operations[0].size(), "at most one operation more");
        for (std::size_t i = 0; i < operations[0].size(); ++i) {
            require(same_name(after[i].source, operations[0][i].source) && after[i].target == operations[0][i].target,
                    "every operation paired as before");
        }
        if (failed) return 0;
        require(added && after.back().source == u"C:\\f" && after.back().target.empty(), "the delete itself");
        require(after.back().end + 1 == now.size() && now.back() == 0, "inside the list, which ends with the data");
        return 0;
    }

    int holder = -1;
    const ModelOperation* match = nullptr;
    for (int which = 0; which < 2 && match == nullptr; ++which) {
        for (const ModelOperation& operation : operations[which]) {
            if (!same_name(operation.source, source)) continue;
            if (mode == 2 && !same_name(operation.target, target)) continue;
            match = &operation;
            holder = which;
            break;
        }
    }
    require(injected || failed == (match == nullptr), "a cancel fails only when nothing matches");
    if (failed) {
        require(state.writes.empty(), "nothing written");
        require(state.value.data == (present[0] ? values[0] : Bytes()), "first value untouched");
        require(state.second.data == (present[1] ? values[1] : Bytes()), "second value untouched");
        require(status == 1, "failure status");
        return 0;
    }
    require(match != nullptr && output.empty(), "a cancel succeeds only with a match, and prints nothing");
    require(state.writes.size() == 1, "one write");
    const Bytes& before = values[holder];
    Bytes expected(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(2 * match->begin));
    if (match->end == before.size() / 2) {
        expected.push_back(0);
        expected.push_back(0);
    }
    expected.insert(expected.end(), before.begin() + static_cast<std::ptrdiff_t>(2 * match->end), before.end());
    const MemoryValue& written = holder == 0 ? state.value : state.second;
    const MemoryValue& other = holder == 0 ? state.second : state.value;
    require(written.data == expected, "exactly the operation's bytes removed, every other byte kept");
    require(written.type == type, "type kept");
    require(other.data == (present[1 - holder] ? values[1 - holder] : Bytes()), "the other value untouched");

    // Read again, the value holds the same operations less the one removed,
    // each paired as before.
    std::vector<ModelOperation> remaining = read_pairs(units_of(expected));
    require(remaining.size() + 1 == operations[holder].size(), "one operation fewer");
    std::size_t removed = static_cast<std::size_t>(match - operations[holder].data());
    for (std::size_t i = 0; i < remaining.size(); ++i) {
        const ModelOperation& old = operations[holder][i < removed ? i : i + 1];
        std::size_t shift = i < removed ? 0 : match->end - match->begin;
        require(remaining[i].begin + shift == old.begin, "pairing kept");
        require(same_name(remaining[i].source, old.source) && remaining[i].target == old.target, "names kept");
    }
    return 0;
}
