// Runs every row of every tests/cases/*.cases table in-process: one test per
// row, named after it. The table format is described in tests/cases/README.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/unit/run_support.h"

using namespace std::string_literals;

namespace {

struct Case {
    std::string name;  // as written in the table
    std::string test_name;
    std::string where;  // file:line
    std::set<std::string> files;
    std::vector<std::string> arguments;
    MemoryValue before;
    std::string output;
    int status;
    bool after_same;
    MemoryValue after;
};

void PrintTo(const Case& row, std::ostream* out) { *out << row.where; }

struct CaseTables {
    std::vector<Case> cases;
    std::vector<std::string> errors;  // rows that could not be read
};

struct RowError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + separator.size()) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

unsigned long number(const std::string& text, unsigned long limit) {
    if (!all_digits(text) || text.size() > 9 || std::stoul(text) > limit) throw RowError("bad number '" + text + "'");
    return std::stoul(text);
}

// Expands the escapes of one field; `{s}` only where spaces separate
// arguments.
std::string decode(const std::string& text, bool argument) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '{') {
            out += text[i++];
            continue;
        }
        if (i + 3 < text.size() && text[i + 2] == '*') {  // {C*N}
            std::size_t close = text.find('}', i + 3);
            if (close != std::string::npos && all_digits(text.substr(i + 3, close - i - 3))) {
                out.append(number(text.substr(i + 3, close - i - 3), 1000000), text[i + 1]);
                i = close + 1;
                continue;
            }
        }
        std::size_t close = text.find('}', i);
        if (close == std::string::npos) throw RowError("unclosed '{' in '" + text + "'");
        std::string token = text.substr(i + 1, close - i - 1);
        i = close + 1;
        if (token == "0") {
            out += '\0';
        } else if (token == "n") {
            out += '\n';
        } else if (token == "r") {
            out += '\r';
        } else if (token == "t") {
            out += '\t';
        } else if (token == "e") {
        } else if (token == "s" && argument) {
            out += ' ';
        } else if (token == "prog") {
            out += TEST_PROGRAM;
        } else if (token.size() == 3 && token[0] == 'x' && std::isxdigit(static_cast<unsigned char>(token[1])) &&
                   std::isxdigit(static_cast<unsigned char>(token[2]))) {
            out += static_cast<char>(std::stoi(token.substr(1), nullptr, 16));
        } else if (token.compare(0, 4, "sys:") == 0) {
            out += system_error_text(static_cast<std::uint32_t>(number(token.substr(4), 0xFFFFFFFFul)));
        } else {
            throw RowError("unknown escape {" + token + "}");
        }
    }
    return out;
}

std::uint32_t value_type(const std::string& name) {
    static const std::map<std::string, std::uint32_t> types = {
        {"SZ", 1}, {"EXPAND_SZ", 2}, {"BINARY", 3}, {"DWORD", 4}, {"MULTI_SZ", 7}};
    auto known = types.find(name);
    if (known != types.end()) return known->second;
    return static_cast<std::uint32_t>(number(name, 0xFFFFFFFFul));
}

// platform:OPS, made by the in-memory body's record of delayed moves.
MemoryValue platform_value(const std::string& operations) {
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    for (const std::string& operation : split(operations, ";")) {
        std::size_t replace = operation.find("=>");
        std::size_t plain = operation.find("->");
        std::size_t arrow = std::min(replace, plain);
        if (arrow == std::string::npos) throw RowError("no '=>' or '->' in '" + operation + "'");
        std::string source = decode(operation.substr(0, arrow), false);
        std::string target = decode(operation.substr(arrow + 2), false);
        bool is_delete = target.empty();
        if (is_delete && arrow == plain) throw RowError("a delete is written 'SRC=>'");
        std::uint32_t flags =
            arrow == replace ? MOVE_REPLACE_EXISTING | MOVE_DELAY_UNTIL_REBOOT : MOVE_DELAY_UNTIL_REBOOT;
        if (!memory_record_move(&state, source.c_str(), is_delete ? nullptr : target.c_str(), flags)) {
            throw RowError("the move could not be recorded");
        }
    }
    return state.value;
}

// absent | TYPE:BYTES | platform:OPS (before only) | same (after only)
MemoryValue parse_value(const std::string& text, bool before, bool* same) {
    *same = false;
    if (text == "absent") return MemoryValue{false, 0, {}};
    if (!before && text == "same") {
        *same = true;
        return MemoryValue{};
    }
    std::size_t colon = text.find(':');
    if (colon == std::string::npos) throw RowError("bad value '" + text + "'");
    std::string type = text.substr(0, colon);
    if (before && type == "platform") return platform_value(text.substr(colon + 1));
    return MemoryValue{true, value_type(type), bytes_of(decode(text.substr(colon + 1), false))};
}

Case parse_row(const std::string& line) {
    std::vector<std::string> fields = split(line, " | ");
    if (fields.size() != 7) throw RowError(std::to_string(fields.size()) + " fields instead of 7");
    Case row;
    row.name = fields[0];
    if (row.name.empty() ||
        row.name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") !=
            std::string::npos) {
        throw RowError("bad name '" + row.name + "'");
    }
    row.test_name = row.name;
    std::replace(row.test_name.begin(), row.test_name.end(), '-', '_');
    if (fields[1] != "-") {
        for (const std::string& file : split(fields[1], ";")) {
            std::string name = decode(file, false);
            if (!name.empty() && name.back() == '\\') name.pop_back();
            if (name.empty()) throw RowError("an empty file name");
            row.files.insert(name);
        }
    }
    if (fields[2] != "-") {
        for (const std::string& argument : split(fields[2], " ")) {
            if (argument.empty()) throw RowError("arguments must be separated by single spaces");
            row.arguments.push_back(decode(argument, true));
        }
    }
    bool unused = false;
    row.before = parse_value(fields[3], true, &unused);
    row.output = decode(fields[4], false);
    row.status = static_cast<int>(number(fields[5], 255));
    row.after = parse_value(fields[6], false, &row.after_same);
    return row;
}

CaseTables read_tables() {
    CaseTables tables;
    std::vector<std::filesystem::path> paths;
    std::error_code failure;
    for (const auto& entry : std::filesystem::directory_iterator(BOOTMOVE_CASES_DIR, failure)) {
        if (entry.path().extension() == ".cases") paths.push_back(entry.path());
    }
    if (failure) tables.errors.push_back(std::string(BOOTMOVE_CASES_DIR) + ": " + failure.message());
    std::sort(paths.begin(), paths.end());

    std::set<std::string> names;
    for (const std::filesystem::path& path : paths) {
        std::ifstream file(path, std::ios::binary);
        std::string line;
        for (int number_of_line = 1; std::getline(file, line); ++number_of_line) {
            if (line.empty() || line[0] == '#') continue;
            std::string where = path.filename().string() + ":" + std::to_string(number_of_line);
            try {
                Case row = parse_row(line);
                row.where = where;
                if (!names.insert(row.test_name).second) throw RowError("name '" + row.name + "' used before");
                tables.cases.push_back(row);
            } catch (const std::exception& error) {
                tables.errors.push_back(where + ": " + error.what());
            }
        }
    }
    return tables;
}

const CaseTables& tables() {
    static const CaseTables read = read_tables();
    return read;
}

class CaseRow : public testing::TestWithParam<Case> {};

TEST_P(CaseRow, Holds) {
    const Case& row = GetParam();
    SCOPED_TRACE(row.where);
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    state.entries = row.files;
    state.value = row.before;

    CommandResult result = run_bootmove(&state, row.arguments);

    EXPECT_EQ(result.output, row.output);
    EXPECT_EQ(result.status, row.status);
    const MemoryValue& expected = row.after_same ? row.before : row.after;
    ASSERT_EQ(state.value.present, expected.present);
    if (expected.present) {
        EXPECT_EQ(state.value.type, expected.type);
        EXPECT_EQ(text_of(state.value.data), text_of(expected.data));
    }
    if (row.after_same) {
        EXPECT_TRUE(state.writes.empty()) << "the value was written without a change";
    }
    expect_nothing_held(state);
}

INSTANTIATE_TEST_SUITE_P(Cases, CaseRow, testing::ValuesIn(tables().cases),
                         [](const testing::TestParamInfo<Case>& row) { return row.param.test_name; });

TEST(CaseTables, EveryRowIsRead) {
    EXPECT_FALSE(tables().cases.empty());
    for (const std::string& error : tables().errors) ADD_FAILURE() << error;
}

// The readers of the tables must agree on the format, so the decoding itself
// is held to the README's examples.
TEST(CaseTables, EscapesDecode) {
    EXPECT_EQ(decode("a{0}b{n}{r}{t}{x7C}{x7b}{e}", false), "a\0b\n\r\t|{"s);
    EXPECT_EQ(decode("{a*3}{}*2}{**1}", false), "aaa}}*");
    EXPECT_EQ(decode("{prog}{sys:2}", false), std::string(TEST_PROGRAM) + system_error_text(2));
    EXPECT_EQ(decode("a{s}b", true), "a b");
    EXPECT_THROW(decode("a{s}b", false), RowError);
    EXPECT_THROW(decode("{q}", false), RowError);
    EXPECT_THROW(decode("{0", false), RowError);
    EXPECT_EQ(parse_row("x | C:\\d\\;C:\\f | {e} a{s}b | absent | {e} | 1 | DWORD:{x01}").files,
              (std::set<std::string>{"C:\\d", "C:\\f"}));
    EXPECT_EQ(parse_row("x | - | {e} a{s}b | absent | {e} | 1 | same").arguments,
              (std::vector<std::string>{"", "a b"}));
    EXPECT_EQ(text_of(parse_row("x | - | - | platform:a=>b;C:\\c=>;d->e | {e} | 0 | same").before.data),
              "\\??\\C:\\bmtest\\a\0!\\??\\C:\\bmtest\\b\0\\??\\C:\\c\0\0"
              "\\??\\C:\\bmtest\\d\0\\??\\C:\\bmtest\\e\0\0"s);
}

}  // namespace
