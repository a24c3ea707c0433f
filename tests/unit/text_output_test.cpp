// How a name reaches the user: exactly on a console but for what a terminal
// would act on, in code page 1252 with '?' in a file. Listing a value whose
// only operation is a delete of "C:\" and the name shows the name alone.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/unit/run_support.h"

using namespace std::string_literals;

namespace {

struct ShownRow {
    std::u16string name;
    std::u16string console;  // as the console gets it
    std::string file;        // as a file gets it
};

void PrintTo(const ShownRow& row, std::ostream* out) { *out << testing::PrintToString(row.name); }

const char16_t PAIR[] = u"\xD83D\xDE00";

const ShownRow SHOWN[] = {
    {u"plain.txt", u"plain.txt", "plain.txt"},
    {u"caf\u00E9\u20AC\u0160", u"caf\u00E9\u20AC\u0160", "caf\xE9\x80\x8A"},
    {u"\u03A9mega\u65E5\u672C", u"\u03A9mega\u65E5\u672C", "?mega??"},
    {u"\u0101\uFF3C", u"\u0101\uFF3C", "??"},
    {u"a"s + PAIR + u"b", u"a"s + PAIR + u"b", "a?b"},
    {u"\xD800x\xDC00", u"\\uD800x\\uDC00", "?x?"},
    {u"\xDE00\xD83D", u"\\uDE00\\uD83D", "??"},
    // Control characters, DEL and the C1 controls: escaped on a console, as
    // they are in a file, a line feed too.
    {u"a\x1B[2J\rb", u"a\\x1B[2J\\x0Db", "a\x1B[2J\rb"},
    {u"\x08\x7F\x9B\x85\x01", u"\\x08\\x7F\\x9B\\x85\\x01", "\x08\x7F??\x01"},
    {u"a\nb\tc", u"a\\x0Ab\\x09c", "a\nb\tc"},
    {u"\\x1B", u"\\x1B", "\\x1B"},
    // So are the invisible characters that change how a line reads; their
    // neighbours are shown.
    {u"a\u202Eb\u200Bc\uFEFF", u"a\\u202Eb\\u200Bc\\uFEFF", "a?b?c?"},
    {u"\u2066\u2069\u2028\u2029\u200F\u202A", u"\\u2066\\u2069\\u2028\\u2029\\u200F\\u202A", "??????"},
    {u"\u200A\u2030\u202F\u2065\u206A", u"\u200A\u2030\u202F\u2065\u206A", "?\x89???"},
};

class Shown : public testing::TestWithParam<ShownRow> {};

TEST_P(Shown, OnAConsoleAndInAFile) {
    const ShownRow& row = GetParam();
    for (bool console : {true, false}) {
        MemoryPlatformState state;
        state.console = console;
        std::u16string data = u"\\??\\C:\\" + row.name + u"\0\0\0"s;
        state.value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, utf16_bytes(data)};
        CommandResult result = run_bootmove(&state, std::vector<std::string>{"/l"});
        EXPECT_EQ(result.status, 0);
        if (console) {
            EXPECT_EQ(state.console_output, u"File C:\\" + row.console + u" -> (delete)\r\n");
            EXPECT_TRUE(state.output.empty());
        } else {
            EXPECT_EQ(state.output, "File C:\\" + row.file + " -> (delete)\r\n");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Names, Shown, testing::ValuesIn(SHOWN));

// Under a UTF-8 ANSI code page a file gets every character, those beyond the
// BMP too; only half a character is one '?'.
TEST(Shown, InAUtf8CodePage) {
    MemoryPlatformState state;
    state.utf8_code_page = true;
    std::u16string data = u"\\??\\C:\\\u03A9"s + PAIR + u"\xD800\n\0\0\0"s;
    state.value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, utf16_bytes(data)};
    CommandResult result = run_bootmove(&state, std::vector<std::string>{"/l"});
    EXPECT_EQ(result.output, "File C:\\\xCE\xA9\xF0\x9F\x98\x80?\n -> (delete)\r\n");
}

// The tool's texts and the system's on a console: line ends as CR LF, the
// system's own CR LF kept.
TEST(Shown, SystemTextOnAConsole) {
    MemoryPlatformState state;
    state.console = true;
    CommandResult result = run_bootmove(&state, std::vector<std::string>{"/l"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(state.console_output, u"error: File not found.\r\r\n\r\n");
}

// A name longer than the writer's buffer, with a pair at every place the
// buffer could end: no write to the console ends in half a character.
TEST(Shown, NoWriteSplitsAPair) {
    for (std::size_t offset = 0; offset < 4; ++offset) {
        MemoryPlatformState state;
        state.console = true;
        std::u16string name(TEXT_OUTPUT_CAPACITY - 16 + offset, u'a');
        for (int i = 0; i < 16; ++i) name += PAIR;
        state.value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, utf16_bytes(name + u"\0\0\0"s)};
        run_bootmove(&state, std::vector<std::string>{"/l"});
        EXPECT_EQ(state.console_writes_ending_in_half, 0) << offset;
        EXPECT_EQ(state.console_output, u"File " + name + u" -> (delete)\r\n");
    }
}

// Where error lines have a stream of their own (Linux), what standard output
// holds goes out before an error line, and the line after it, so that a
// terminal shows both in order; a terminal there gets names escaped too.
std::vector<std::string> delivered;

bool to_output(void*, const char* bytes, std::size_t count) {
    delivered.push_back("out:" + std::string(bytes, count));
    return true;
}

bool to_errors(void*, const char16_t* units, std::size_t count) {
    delivered.push_back("err:" + narrow(std::u16string(units, count)));
    return true;
}

std::size_t bytes_as_units(void*, const char* bytes, std::size_t count, char16_t* units, std::size_t) {
    for (std::size_t i = 0; i < count; ++i) units[i] = static_cast<unsigned char>(bytes[i]);
    return count;
}

TEST(Shown, ErrorsApartInOrder) {
    delivered.clear();
    std::unique_ptr<TextOutput> output(new TextOutput);
    std::unique_ptr<TextOutput> errors(new TextOutput);
    OutputDevice device{nullptr,   false,   true,           false,   "?",    nullptr,
                        to_output, nullptr, bytes_as_units, nullptr, nullptr};
    start_text_output(output.get(), device);
    device.console = true;
    device.write_console = to_errors;
    start_text_output(errors.get(), device);
    keep_errors_apart(output.get(), errors.get());
    Platform platform{};
    platform.output = text_output_access(output.get());
    print_text(platform, "listed\n");
    begin_errors(platform);
    print_text(platform, "error: ");
    print_name(platform, u"a\x1B\u202E");
    end_errors(platform);
    print_text(platform, "after\n");
    EXPECT_TRUE(platform.output.flush(platform.output.context));
    EXPECT_EQ(delivered, (std::vector<std::string>{"out:listed\n", "err:error: a\\x1B\\u202E", "out:after\n"}));
}

}  // namespace
