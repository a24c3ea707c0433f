// The one reading of the arguments: which request each form makes, in
// either program, for the forms whose words overlap (a switch where a name
// may stand, "/stale" anywhere, words after "/hive KEY").
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/arguments.h"
#include "tests/unit/run_support.h"

namespace {

struct ArgumentsRow {
    const char* arguments;  // after the program, separated by single spaces
    bool windows;           // read by the Windows program, else by the Linux one
    Command command;
    const char* read;  // "json", "stale", the hive and the names, separated by "|"
};

void PrintTo(const ArgumentsRow& row, std::ostream* out) { *out << row.arguments << (row.windows ? "" : " (Linux)"); }

const ArgumentsRow ROWS[] = {
    {"/c a b c", true, Command::cancel, "a|b"},
    {"/c /fo json", true, Command::cancel, "/fo|json"},
    {"/c /fo json /stale", true, Command::cancel, "json|stale"},
    {"/L /STALE /FO JSON", true, Command::list, "json|stale"},
    {"/d /l", true, Command::remove, "/l"},
    {"/hive K /hive x", true, Command::move, "hive K|/hive|x"},
    {"/hive K /? x", true, Command::move, "hive K|/?|x"},
    {"/hive K /d x", true, Command::remove, "hive K|x"},
    {"/hive K /l /fo json /stale", true, Command::list, "json|stale|hive K"},
    {"/hive K /c a b c", true, Command::cancel, "hive K|a|b"},
    {"--help x", true, Command::move, "--help|x"},
    {"/?", true, Command::help, ""},
    {"--help", true, Command::wrong, ""},
    {"/l x", true, Command::wrong, ""},
    {"/stale", true, Command::wrong, ""},
    {"a /stale", true, Command::wrong, ""},
    {"/c a /stale", true, Command::wrong, ""},
    {"/c a b /stale", true, Command::wrong, ""},
    {"/hive /stale /l", true, Command::wrong, ""},
    {"/hive K", true, Command::wrong, ""},
    {"/? x", true, Command::wrong, ""},
    {"--help x", false, Command::wrong, ""},
    {"-h", false, Command::help, ""},
    {"--version", false, Command::version, ""},
    {"/hive F /l /fo json", false, Command::list, "json|hive F"},
    {"/hive F /WHY /fo JSON", false, Command::why, "json|hive F"},
    {"/hive K /why", true, Command::why, "hive K"},
    {"/why /stale", true, Command::wrong, ""},
    {"a b", false, Command::move, "a|b"},
};

class Arguments : public testing::TestWithParam<ArgumentsRow> {};

TEST_P(Arguments, MakeTheirRequest) {
    const ArgumentsRow& row = GetParam();
    std::vector<std::u16string> words{row.windows ? u"C:\\t\\bootmove.exe" : u"/usr/bin/bootmove"};
    for (std::string rest = row.arguments; !rest.empty();) {
        std::size_t space = rest.find(' ');
        words.push_back(widen(rest.substr(0, space)));
        rest = space == std::string::npos ? "" : rest.substr(space + 1);
    }
    std::vector<const char16_t*> argv;
    for (const std::u16string& word : words) argv.push_back(word.c_str());
    Request request = read_arguments(static_cast<int>(argv.size()), argv.data(), row.windows);

    std::string read;
    if (request.format == ListFormat::json) read += "|json";
    if (request.stale) read += "|stale";
    if (request.hive != nullptr) read += "|hive " + narrow(request.hive);
    for (const char16_t* name : request.names) read += name != nullptr ? "|" + narrow(name) : "";
    EXPECT_EQ(request.command, row.command);
    EXPECT_EQ(read.empty() ? "" : read.substr(1), row.read);
    EXPECT_EQ(narrow(request.program), row.windows ? "C:\\t\\bootmove.exe" : "bootmove");
}

INSTANTIATE_TEST_SUITE_P(Forms, Arguments, testing::ValuesIn(ROWS));

}  // namespace
