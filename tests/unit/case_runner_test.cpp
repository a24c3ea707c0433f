// Runs every row of every tests/cases/*.cases table in-process: one test per
// row, named after it. The table format is described in tests/cases/README.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
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
    std::set<std::u16string> files;
    std::vector<std::u16string> arguments;
    MemoryValue before;
    std::string output;
    bool output_refused;
    bool json;  // `output` is a JSON document, compared without its whitespace
    int status;
    bool after_same;
    MemoryValue after;
    MemoryValue second_before;
    bool second_after_same;
    MemoryValue second_after;
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

bool all_hex(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

unsigned long number(const std::string& text, unsigned long limit) {
    if (!all_digits(text) || text.size() > 9 || std::stoul(text) > limit) throw RowError("bad number '" + text + "'");
    return std::stoul(text);
}

// What a field is decoded into: stdout is bytes in code page 1252; arguments
// and files are UTF-16 units; a value's data is UTF-16LE bytes, with raw
// single bytes among them.
enum class Field { output, argument, file, value };

// The data of one field: `units` for arguments and files, `bytes` for stdout
// and values.
struct Decoded {
    std::u16string units;
    std::string bytes;
};

void put_unit(Decoded* out, Field field, char16_t unit) {
    if (field == Field::value) {
        out->bytes += static_cast<char>(unit & 0xFF);
        out->bytes += static_cast<char>(unit >> 8);
    } else if (field == Field::output) {
        out->bytes += code_page_byte(unit);
    } else {
        out->units += unit;
    }
}

void put_ascii(Decoded* out, Field field, const std::string& text) {
    for (char c : text) put_unit(out, field, static_cast<char16_t>(static_cast<unsigned char>(c)));
}

// The usage text as the tables spell it, from usage.txt.
std::string usage_text() {
    std::ifstream file(std::string(BOOTMOVE_CASES_DIR) + "/usage.txt", std::ios::binary);
    std::string line;
    std::getline(file, line);
    return line;
}

// Expands the escapes of one field (see tests/cases/README.md).
Decoded decode(const std::string& text, Field field) {
    Decoded out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '{') {
            if (static_cast<unsigned char>(text[i]) > 0x7E) throw RowError("a character that is not ASCII");
            put_unit(&out, field, static_cast<char16_t>(text[i++]));
            continue;
        }
        if (i + 3 < text.size() && text[i + 2] == '*') {  // {C*N}
            std::size_t close = text.find('}', i + 3);
            if (close != std::string::npos && all_digits(text.substr(i + 3, close - i - 3))) {
                put_ascii(&out, field, std::string(number(text.substr(i + 3, close - i - 3), 1000000), text[i + 1]));
                i = close + 1;
                continue;
            }
        }
        std::size_t close = text.find('}', i);
        if (close == std::string::npos) throw RowError("unclosed '{' in '" + text + "'");
        std::string token = text.substr(i + 1, close - i - 1);
        i = close + 1;
        if (token == "0") {
            put_unit(&out, field, 0);
        } else if (token == "n") {
            if (field == Field::output) put_unit(&out, field, u'\r');
            put_unit(&out, field, u'\n');
        } else if (token == "r") {
            put_unit(&out, field, u'\r');
        } else if (token == "t") {
            put_unit(&out, field, u'\t');
        } else if (token == "e") {
        } else if (token == "s" && field == Field::argument) {
            put_unit(&out, field, u' ');
        } else if (token == "usage") {
            Decoded usage = decode(usage_text(), field);
            out.units += usage.units;
            out.bytes += usage.bytes;
        } else if (token == "prog") {
            for (const char16_t* c = TEST_PROGRAM; *c != 0; ++c) put_unit(&out, field, *c);
        } else if (token.size() == 3 && token[0] == 'x' && all_hex(token.substr(1))) {
            auto byte = static_cast<unsigned char>(std::stoi(token.substr(1), nullptr, 16));
            if (field == Field::output) {
                out.bytes += static_cast<char>(byte);
            } else {
                put_unit(&out, field, code_page_unit(byte));
            }
        } else if (token.size() >= 6 && token.compare(0, 2, "u+") == 0 && all_hex(token.substr(2, 4)) &&
                   (token.size() == 6 || (token[6] == '*' && all_digits(token.substr(7))))) {
            auto unit = static_cast<char16_t>(std::stoi(token.substr(2, 4), nullptr, 16));
            unsigned long repeat = token.size() == 6 ? 1 : number(token.substr(7), 1000000);
            if (field == Field::output) throw RowError("{u+HHHH} is not for stdout");
            for (unsigned long n = 0; n < repeat; ++n) put_unit(&out, field, unit);
        } else if (token.size() == 3 && token[0] == 'b' && all_hex(token.substr(1)) && field == Field::value) {
            out.bytes += static_cast<char>(std::stoi(token.substr(1), nullptr, 16));
        } else if (token.compare(0, 4, "sys:") == 0) {
            std::string message = system_error_text(static_cast<std::uint32_t>(number(token.substr(4), 0xFFFFFFFFul)));
            put_ascii(&out, field, field == Field::output ? crlf(message) : message);
        } else {
            throw RowError("unknown escape {" + token + "}");
        }
    }
    return out;
}

// A JSON document without the whitespace between its tokens.
std::string compact_json(const std::string& text) {
    std::string out;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!in_string && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) continue;
        out += c;
        if (in_string && c == '\\' && i + 1 < text.size()) {
            out += text[++i];
        } else if (c == '"') {
            in_string = !in_string;
        }
    }
    return out;
}

// A `json:` field: the document as written, but for {sys:N}, the system's
// text for N without its line end, escaped as a JSON string's content.
std::string expand_json(std::string text) {
    for (std::size_t at; (at = text.find("{sys:")) != std::string::npos;) {
        std::size_t close = text.find('}', at);
        if (close == std::string::npos) throw RowError("unclosed {sys:");
        std::string message =
            system_error_text(static_cast<std::uint32_t>(number(text.substr(at + 5, close - at - 5), 0xFFFFFFFFul)));
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
        std::string escaped;
        for (char c : message) escaped += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
        text.replace(at, close + 1 - at, escaped);
    }
    return text;
}

bool has_lone_surrogate(const std::u16string& name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        bool high = name[i] >= 0xD800 && name[i] <= 0xDBFF;
        bool low_next = i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF;
        if (high && low_next) {
            ++i;
        } else if (name[i] >= 0xD800 && name[i] <= 0xDFFF) {
            return true;
        }
    }
    return false;
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
        std::u16string source = decode(operation.substr(0, arrow), Field::argument).units;
        std::u16string target = decode(operation.substr(arrow + 2), Field::argument).units;
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

// absent | TYPE:TEXT | platform:OPS (the first value before only) | same
// (after only)
MemoryValue parse_value(const std::string& text, bool before, bool platform_allowed, bool* same) {
    *same = false;
    if (text == "absent") return MemoryValue{false, 0, {}};
    if (!before && text == "same") {
        *same = true;
        return MemoryValue{};
    }
    std::size_t colon = text.find(':');
    if (colon == std::string::npos) throw RowError("bad value '" + text + "'");
    std::string type = text.substr(0, colon);
    if (before && platform_allowed && type == "platform") return platform_value(text.substr(colon + 1));
    return MemoryValue{true, value_type(type), bytes_of(decode(text.substr(colon + 1), Field::value).bytes)};
}

Case parse_row(const std::string& line) {
    std::vector<std::string> fields = split(line, " | ");
    if (fields.size() != 7 && fields.size() != 9) {
        throw RowError(std::to_string(fields.size()) + " fields instead of 7 or 9");
    }
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
            std::u16string name = decode(file, Field::file).units;
            if (has_lone_surrogate(name)) throw RowError("half a surrogate pair in a file name");
            if (name.empty() || name == u"\\") throw RowError("an empty file name");
            row.files.insert(name);
        }
    }
    if (fields[2] != "-") {
        for (const std::string& argument : split(fields[2], " ")) {
            if (argument.empty()) throw RowError("arguments must be separated by single spaces");
            row.arguments.push_back(decode(argument, Field::argument).units);
        }
    }
    bool unused = false;
    row.before = parse_value(fields[3], true, true, &unused);
    row.output_refused = fields[4] == "{full}";
    row.json = fields[4].compare(0, 5, "json:") == 0;
    if (row.json) {
        row.output = compact_json(expand_json(fields[4].substr(5)));
    } else if (!row.output_refused) {
        row.output = decode(fields[4], Field::output).bytes;
    }
    row.status = static_cast<int>(number(fields[5], 255));
    row.after = parse_value(fields[6], false, false, &row.after_same);
    row.second_before = MemoryValue{false, 0, {}};
    row.second_after = MemoryValue{false, 0, {}};
    row.second_after_same = false;
    if (fields.size() == 9) {
        row.second_before = parse_value(fields[7], true, false, &unused);
        row.second_after = parse_value(fields[8], false, false, &row.second_after_same);
    }
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

void expect_value(const MemoryValue& found, const MemoryValue& expected, const char* which) {
    ASSERT_EQ(found.present, expected.present) << which;
    if (expected.present) {
        EXPECT_EQ(found.type, expected.type) << which;
        EXPECT_EQ(testing::PrintToString(text_of(found.data)), testing::PrintToString(text_of(expected.data))) << which;
    }
}

TEST_P(CaseRow, Holds) {
    const Case& row = GetParam();
    SCOPED_TRACE(row.where);
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    state.entries = row.files;
    state.value = row.before;
    state.second = row.second_before;
    state.output_refused = row.output_refused;

    CommandResult result = run_bootmove(&state, row.arguments);

    if (row.json) {
        EXPECT_EQ(compact_json(result.output), row.output);
        EXPECT_TRUE(std::all_of(result.output.begin(), result.output.end(), [](char c) { return c > 0 && c < 0x7F; }))
            << "a document of ASCII only";
    } else if (!row.output_refused) {
        EXPECT_EQ(result.output, row.output);
    }
    // The error stream only says that standard output failed, when there
    // was something to print (a cancel prints nothing).
    EXPECT_EQ(state.error_output.empty(), !row.output_refused || row.status == 0);
    EXPECT_EQ(result.status, row.status);
    expect_value(state.value, row.after_same ? row.before : row.after, "first value");
    expect_value(state.second, row.second_after_same ? row.second_before : row.second_after, "second value");
    if (row.after_same && row.second_after_same) {
        EXPECT_TRUE(state.writes.empty()) << "a value was written without a change";
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
    EXPECT_EQ(decode("a{0}b{n}{r}{t}{x7C}{x7b}{xE9}{x80}{x0A}{e}", Field::output).bytes, "a\0b\r\n\r\t|{\xE9\x80\n"s);
    EXPECT_EQ(decode("a{xE9}{x80}{x81}{u+03A9}{u+d800}", Field::argument).units,
              u"a\u00E9\u20AC\u0081\u03A9"s + char16_t(0xD800));
    EXPECT_EQ(decode("A{0}{u+03A9}{b41}", Field::value).bytes, "A\0\0\0\xA9\x03\x41"s);
    EXPECT_EQ(decode("{u+30A2*3}", Field::argument).units, u"\u30A2\u30A2\u30A2");
    EXPECT_EQ(decode("{a*3}{}*2}{**1}", Field::output).bytes, "aaa}}*");
    EXPECT_EQ(decode("{prog}{sys:2}", Field::output).bytes, "bootmove.exe"s + crlf(system_error_text(2)));
    EXPECT_EQ(decode("a{s}b", Field::argument).units, u"a b");
    EXPECT_THROW(decode("a{s}b", Field::output), RowError);
    EXPECT_THROW(decode("{u+03A9}", Field::output), RowError);
    EXPECT_THROW(decode("{b41}", Field::argument), RowError);
    EXPECT_THROW(decode("{q}", Field::output), RowError);
    EXPECT_THROW(decode("{0", Field::output), RowError);
    EXPECT_EQ(parse_row("x | C:\\d\\;C:\\f | {e} a{s}b | absent | {e} | 1 | DWORD:{x01}").files,
              (std::set<std::u16string>{u"C:\\d\\", u"C:\\f"}));
    EXPECT_THROW(parse_row("x | C:\\{u+DC00} | - | absent | {e} | 1 | same"), RowError);
    EXPECT_EQ(parse_row("x | C:\\{u+D83D}{u+DE00} | - | absent | {e} | 1 | same").files.size(), 1u);
    EXPECT_EQ(parse_row("x | - | {e} a{s}b | absent | {e} | 1 | same").arguments,
              (std::vector<std::u16string>{u"", u"a b"}));
    EXPECT_EQ(parse_row("x | - | - | absent | a{n} | 1 | same").output, "a\r\n");
    EXPECT_TRUE(parse_row("x | - | - | absent | {full} | 1 | same").output_refused);
    Case both = parse_row("x | - | - | absent | {e} | 1 | same | SZ:a | absent");
    EXPECT_EQ(text_of(both.second_before.data), "a\0"s);
    EXPECT_FALSE(both.second_after.present);
    EXPECT_THROW(parse_row("x | - | - | absent | {e} | 1 | same | platform:a=>b | same"), RowError);
    EXPECT_EQ(text_of(parse_row("x | - | - | platform:a=>b;C:\\c=>;d->e | {e} | 0 | same").before.data),
              text_of(utf16_bytes(u"\\??\\C:\\bmtest\\a\0!\\??\\C:\\bmtest\\b\0\\??\\C:\\c\0\0"
                                  u"\\??\\C:\\bmtest\\d\0\\??\\C:\\bmtest\\e\0\0"s)));
}

}  // namespace
