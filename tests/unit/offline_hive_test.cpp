// "/hive KEY": the values of the control set that KEY\Select\Current names,
// in a SYSTEM hive loaded at KEY, and never the running system's. Every row
// starts from the same tree at `tree`: control sets 1 and 2 with both values,
// 3 with none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/run_support.h"

using namespace std::string_literals;

namespace {

const std::u16string RUNNING = u"\\??\\C:\\run\0\0\0"s;
// The control sets' first and second values.
const std::u16string SETS[3][2] = {
    {u"\\??\\C:\\one\0!\\??\\C:\\uno\0\\??\\C:\\shared\0\0\0"s, u"\\??\\C:\\eins\0\0\0"s},
    {u"\\??\\C:\\two\0\0\\??\\C:\\shared\0\0\0"s, u"*1\\??\\C:\\deux\0*1!\\??\\C:\\zwei\0\0"s},
};

const char ONE[] = "File C:\\one -> C:\\uno\nFile C:\\shared -> (delete)\nFile C:\\eins -> (delete)\n";
const char TWO[] = "File C:\\two -> (delete)\nFile C:\\shared -> (delete)\nFile C:\\deux -> C:\\zwei\n";
const char NO_MATCH[] = "Could not fild a matching a pending file operation\n";
const char NOT_RUNNING[] =
    "error: a system that is not running has no files in use, so its files can be moved or deleted directly; "
    "nothing was changed\n";

struct HiveRow {
    const char* name;
    std::vector<std::u16string> arguments;
    const char16_t* tree;  // where the hive is loaded
    MemoryValue current;   // its Select\Current
    const char* printed;   // "{usage}" for the usage text
    int status;
    std::u16string first_after;  // the current set's values afterwards; empty: as before
    std::u16string second_after;
};

void PrintTo(const HiveRow& row, std::ostream* out) { *out << row.name; }

MemoryValue dword(std::uint32_t number) {
    return {
        true, VALUE_TYPE_DWORD, {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8), 0, 0}};
}

const char16_t* const LM = u"HKLM\\OFFSYS";
const char16_t* const USERS = u"HKU\\S-1\\Offline";

const HiveRow HIVES[] = {
    // Select\Current picks the set, under either root and spelling.
    {"local_machine", {u"/hive", u"HKLM\\OFFSYS", u"/l"}, LM, dword(1), ONE, 0, u"", u""},
    {"local_machine_long", {u"/hive", u"hkey_local_machine\\Offsys", u"/L"}, LM, dword(2), TWO, 0, u"", u""},
    {"users_levels", {u"/hive", u"hku\\S-1\\Offline", u"/l"}, USERS, dword(1), ONE, 0, u"", u""},
    {"users_long_json",
     {u"/hive", u"HKEY_USERS\\S-1\\Offline", u"/l", u"/fo", u"json"},
     USERS,
     dword(2),
     "{\"operations\": [\n"
     "  {\"value\": \"PendingFileRenameOperations\", \"kind\": \"delete\", \"source\": \"C:\\\\two\", \"target\": "
     "null, "
     "\"replace\": false, \"stored_source\": \"\\\\??\\\\C:\\\\two\", \"stored_target\": \"\", \"source_exists\": "
     "null, "
     "\"target_exists\": null},\n"
     "  {\"value\": \"PendingFileRenameOperations\", \"kind\": \"delete\", \"source\": \"C:\\\\shared\", \"target\": "
     "null, \"replace\": false, \"stored_source\": \"\\\\??\\\\C:\\\\shared\", \"stored_target\": \"\", "
     "\"source_exists\": null, \"target_exists\": null},\n"
     "  {\"value\": \"PendingFileRenameOperations2\", \"kind\": \"move\", \"source\": \"C:\\\\deux\", \"target\": "
     "\"C:\\\\zwei\", \"replace\": true, \"stored_source\": \"*1\\\\??\\\\C:\\\\deux\", \"stored_target\": "
     "\"*1!\\\\??\\\\C:\\\\zwei\", \"source_exists\": null, \"target_exists\": null}\n"
     "]}\n",
     0,
     u"",
     u""},
    // Cancels in either value of that set only.
    {"cancel_in_second",
     {u"/hive", u"HKLM\\OFFSYS", u"/c", u"C:\\deux", u"C:\\zwei"},
     LM,
     dword(2),
     "",
     0,
     u"",
     u"\0"s},
    {"cancel_first_value_first",
     {u"/hive", u"HKU\\S-1\\Offline", u"/c", u"c:\\SHARED"},
     USERS,
     dword(2),
     "",
     0,
     u"\\??\\C:\\two\0\0\0"s,
     u""},
    {"not_in_running_system", {u"/hive", u"HKLM\\OFFSYS", u"/c", u"C:\\run"}, LM, dword(1), NO_MATCH, 1, u"", u""},
    {"not_in_other_set", {u"/hive", u"HKLM\\OFFSYS", u"/c", u"C:\\two"}, LM, dword(1), NO_MATCH, 1, u"", u""},
    // A set without values: nothing pending.
    {"set_without_values",
     {u"/hive", u"HKLM\\OFFSYS", u"/l"},
     LM,
     dword(3),
     "error: File not found.\r\n\n",
     1,
     u"",
     u""},
    {"set_without_values_json",
     {u"/hive", u"HKLM\\OFFSYS", u"/l", u"/fo", u"json"},
     LM,
     dword(3),
     "{\"operations\": []}\n",
     0,
     u"",
     u""},
    // Refusals.
    {"refuses_delete", {u"/hive", u"HKLM\\OFFSYS", u"/d", u"C:\\one"}, LM, dword(1), NOT_RUNNING, 1, u"", u""},
    {"refuses_move", {u"/hive", u"HKLM\\OFFSYS", u"C:\\one", u"C:\\x"}, LM, dword(1), NOT_RUNNING, 1, u"", u""},
    {"no_key",
     {u"/hive", u"HKLM\\Nope", u"/l"},
     LM,
     dword(1),
     "error: no SYSTEM hive is loaded at HKLM\\Nope\n",
     1,
     u"",
     u""},
    {"no_key_json",
     {u"/hive", u"HKLM\\Nope", u"/l", u"/fo", u"json"},
     LM,
     dword(1),
     "{\"error\": {\"code\": 0, \"message\": \"no SYSTEM hive is loaded at HKLM\\\\Nope\"}}\n",
     1,
     u"",
     u""},
    {"no_current",
     {u"/hive", u"HKLM\\OFFSYS", u"/c", u"C:\\one"},
     LM,
     MemoryValue{false, 0, {}},
     "error: no SYSTEM hive is loaded at HKLM\\OFFSYS\n",
     1,
     u"",
     u""},
    {"current_a_string",
     {u"/hive", u"HKLM\\OFFSYS", u"/l"},
     LM,
     {true, VALUE_TYPE_SZ, {'1', 0, 0, 0}},
     "error: no SYSTEM hive is loaded at HKLM\\OFFSYS\n",
     1,
     u"",
     u""},
    {"current_zero",
     {u"/hive", u"HKLM\\OFFSYS", u"/l"},
     LM,
     dword(0),
     "error: no SYSTEM hive is loaded at HKLM\\OFFSYS\n",
     1,
     u"",
     u""},
    {"current_1000",
     {u"/hive", u"HKLM\\OFFSYS", u"/l"},
     LM,
     dword(1000),
     "error: no SYSTEM hive is loaded at HKLM\\OFFSYS\n",
     1,
     u"",
     u""},
    {"current_too_long",
     {u"/hive", u"HKLM\\OFFSYS", u"/l"},
     LM,
     {true, VALUE_TYPE_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
     "error: no SYSTEM hive is loaded at HKLM\\OFFSYS\n",
     1,
     u"",
     u""},
    // The usage text.
    {"alone", {u"/hive"}, LM, dword(1), "{usage}", 1, u"", u""},
    {"no_command", {u"/hive", u"HKLM\\OFFSYS"}, LM, dword(1), "{usage}", 1, u"", u""},
    {"other_root", {u"/hive", u"HKCU\\OFFSYS", u"/l"}, LM, dword(1), "{usage}", 1, u"", u""},
    {"root_alone", {u"/hive", u"HKLM\\", u"/l"}, LM, dword(1), "{usage}", 1, u"", u""},
    {"empty_level", {u"/hive", u"HKLM\\a\\\\b", u"/l"}, LM, dword(1), "{usage}", 1, u"", u""},
    {"list_extra", {u"/hive", u"HKLM\\OFFSYS", u"/l", u"x"}, LM, dword(1), "{usage}", 1, u"", u""},
    {"delete_alone", {u"/hive", u"HKLM\\OFFSYS", u"/d"}, LM, dword(1), "{usage}", 1, u"", u""},
    {"cancel_alone", {u"/hive", u"HKLM\\OFFSYS", u"/c"}, LM, dword(1), "{usage}", 1, u"", u""},
};

class Hive : public testing::TestWithParam<HiveRow> {};

std::u16string set_key(const std::u16string& tree, int set) {
    return tree + u"\\ControlSet00" + char16_t(u'0' + set) + u"\\Control\\Session Manager";
}

TEST_P(Hive, ActsOnTheCurrentSetOnly) {
    const HiveRow& row = GetParam();
    MemoryPlatformState state;
    state.value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, utf16_bytes(RUNNING)};
    state.keys[std::u16string(row.tree) + u"\\Select"][u"Current"] = row.current;
    for (int set = 1; set <= 3; ++set) {
        auto& values = state.keys[set_key(row.tree, set)];
        if (set == 3) continue;
        values[u"PendingFileRenameOperations"] = {true, VALUE_TYPE_MULTI_SZ, utf16_bytes(SETS[set - 1][0])};
        values[u"PendingFileRenameOperations2"] = {true, VALUE_TYPE_MULTI_SZ, utf16_bytes(SETS[set - 1][1])};
    }
    MemoryPlatformState usage_state;
    std::string usage = run_bootmove(&usage_state, std::vector<std::string>{"/l", "x"}).output;

    CommandResult result = run_bootmove(&state, row.arguments);

    EXPECT_EQ(result.output, std::string(row.printed) == "{usage}" ? usage : crlf(row.printed));
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(state.value.data, utf16_bytes(RUNNING));
    for (const std::u16string& key : state.opened) EXPECT_EQ(key.find(u"CurrentControlSet"), std::u16string::npos);
    for (int set = 1; set <= 2; ++set) {
        bool current = row.current.type == VALUE_TYPE_DWORD && row.current.data[0] == set;
        const std::u16string after[2] = {current ? row.first_after : u"", current ? row.second_after : u""};
        for (int which = 0; which < 2; ++which) {
            const char16_t* name = which == 0 ? u"PendingFileRenameOperations" : u"PendingFileRenameOperations2";
            std::u16string expected = after[which].empty() ? SETS[set - 1][which] : after[which];
            EXPECT_EQ(text_of(state.keys[set_key(row.tree, set)][name].data), text_of(utf16_bytes(expected)))
                << "control set " << set << ", value " << which + 1;
        }
    }
    expect_nothing_held(state);
}

INSTANTIATE_TEST_SUITE_P(Rows, Hive, testing::ValuesIn(HIVES),
                         [](const testing::TestParamInfo<HiveRow>& row) { return std::string(row.param.name); });

}  // namespace
