// "/hive KEY": the values of the control set that KEY\Select\Current names,
// in a SYSTEM hive loaded at KEY, and never the running system's. Every row
// starts from the same tree: control sets 1 and 2 with both values, 3 with
// none, and the running system's value beside them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/run_support.h"

using namespace std::string_literals;

namespace {

const std::u16string RUNNING = u"\\??\\C:\\run\0\0\0"s;
// The control sets' first and second values.
const std::u16string SETS[2][2] = {
    {u"\\??\\C:\\one\0!\\??\\C:\\uno\0\0"s, u"\\??\\C:\\eins\0\0\0"s},
    {u"\\??\\C:\\two\0\0\\??\\C:\\shared\0\0\0"s, u"*1\\??\\C:\\deux\0*1!\\??\\C:\\zwei\0\\??\\C:\\shared\0\0\0"s},
};
const char16_t* const VALUE_NAMES[] = {u"PendingFileRenameOperations", u"PendingFileRenameOperations2"};

const char NO_MATCH[] = "Could not fild a matching a pending file operation\n";
const char NOT_RUNNING[] =
    "error: a system that is not running has no files in use, so its files can be moved or deleted directly; "
    "nothing was changed\n";
const char NO_HIVE[] = "error: no SYSTEM hive is loaded at HKLM\\OFFSYS\n";
const char OFFLINE_STALE[] =
    "error: the names belong to a system that is not running, so nothing here can tell whether they exist; nothing "
    "was changed\n";
const char NO_WINDOWS[] =
    "error: there is no running Windows here: on Linux bootmove lists and cancels the operations of a SYSTEM hive "
    "file (/hive FILE /l, /hive FILE /c)\n";
const char RUNNING_HIVE[] =
    "error: HKLM\\SYSTEM is the running system's own SYSTEM hive: use bootmove without /hive for its pending "
    "operations\n";
const char RUNNING_HIVE_LONG[] =
    "error: hkey_local_machine\\system\\\\ is the running system's own SYSTEM hive: use bootmove without /hive for "
    "its pending operations\n";
const char NO_SET[] =
    "error: the SYSTEM hive at HKLM\\OFFSYS has no ControlSet007, the control set its Select\\Current names\n";

MemoryValue dword(std::uint32_t number) {
    return {
        true, VALUE_TYPE_DWORD, {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8), 0, 0}};
}

struct HiveRow {
    const char* arguments;  // separated by single spaces
    const char* tree;       // where the hive is loaded
    MemoryValue current;    // its Select\Current
    const char* printed;
    int status;
    std::u16string after[2] = {};  // the current set's values afterwards; empty: as before
};

void PrintTo(const HiveRow& row, std::ostream* out) { *out << row.arguments; }

const char LM[] = "HKLM\\OFFSYS";
const char USERS[] = "HKU\\S-1\\Offline";

const HiveRow HIVES[] = {
    // Select\Current picks the set, under either root and spelling.
    {"/hive HKLM\\OFFSYS /l", LM, dword(1), "File C:\\one -> C:\\uno\nFile C:\\eins -> (delete)\n", 0},
    {"/hive hkey_local_machine\\Offsys /L", LM, dword(2),
     "File C:\\two -> (delete)\nFile C:\\shared -> (delete)\nFile C:\\deux -> C:\\zwei\nFile C:\\shared -> (delete)\n",
     0},
    {"/hive hku\\S-1\\Offline /l", USERS, dword(1), "File C:\\one -> C:\\uno\nFile C:\\eins -> (delete)\n", 0},
    {"/hive HKEY_USERS\\S-1\\Offline /l /fo json", USERS, dword(1),
     "{\"operations\": [\n  {\"value\": \"PendingFileRenameOperations\", \"kind\": \"move\", \"source\": "
     "\"C:\\\\one\", "
     "\"target\": \"C:\\\\uno\", \"replace\": true, \"stored_source\": \"\\\\??\\\\C:\\\\one\", \"stored_target\": "
     "\"!\\\\??\\\\C:\\\\uno\", \"source_exists\": null, \"target_exists\": null},\n  {\"value\": "
     "\"PendingFileRenameOperations2\", \"kind\": \"delete\", \"source\": \"C:\\\\eins\", \"target\": null, "
     "\"replace\": "
     "false, \"stored_source\": \"\\\\??\\\\C:\\\\eins\", \"stored_target\": \"\", \"source_exists\": null, "
     "\"target_exists\": null}\n]}\n",
     0},
    // Cancels: in either value of that set, the first value first; not a
    // name of the running system or of the other set.
    {"/hive HKLM\\OFFSYS /c C:\\deux C:\\zwei", LM, dword(2), "", 0, {u"", u"\\??\\C:\\shared\0\0\0"s}},
    {"/hive HKU\\S-1\\Offline /c c:\\SHARED", USERS, dword(2), "", 0, {u"\\??\\C:\\two\0\0\0"s, u""}},
    {"/hive HKLM\\OFFSYS /c C:\\run", LM, dword(1), NO_MATCH, 1},
    {"/hive HKLM\\OFFSYS /c C:\\two", LM, dword(1), NO_MATCH, 1},
    // A set without values: nothing pending.
    {"/hive HKLM\\OFFSYS /l", LM, dword(3), "error: File not found.\r\n\n", 1},
    {"/hive HKLM\\OFFSYS /l /fo json", LM, dword(3), "{\"operations\": []}\n", 0},
    // Refusals.
    {"/hive HKLM\\OFFSYS /d C:\\one", LM, dword(1), NOT_RUNNING, 1},
    {"/hive HKLM\\OFFSYS C:\\one C:\\x", LM, dword(1), NOT_RUNNING, 1},
    {"/hive HKLM\\Nope /l /fo json", LM, dword(1),
     "{\"error\": {\"code\": 0, \"message\": \"no SYSTEM hive is loaded at HKLM\\\\Nope\"}}\n", 1},
    {"/hive HKLM\\OFFSYS /c C:\\one", LM, MemoryValue{false, 0, {}}, NO_HIVE, 1},
    {"/hive HKLM\\OFFSYS /l", LM, {true, VALUE_TYPE_SZ, {'1', 0, 0, 0}}, NO_HIVE, 1},
    {"/hive HKLM\\OFFSYS /l", LM, dword(0), NO_HIVE, 1},
    {"/hive HKLM\\OFFSYS /l", LM, dword(1000), NO_HIVE, 1},
    {"/hive HKLM\\OFFSYS /l", LM, {true, VALUE_TYPE_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}}, NO_HIVE, 1},
    // Nothing here can tell whether the offline system's files exist.
    {"/hive HKLM\\OFFSYS /c /stale", LM, dword(1), OFFLINE_STALE, 1},
    {"/hive HKLM\\OFFSYS /l /stale /fo json", LM, dword(1),
     "{\"error\": {\"code\": 0, \"message\": \"the names belong to a system that is not running, so nothing here can "
     "tell whether they exist; nothing was changed\"}}\n",
     1},
    {"/hive HKLM\\OFFSYS /d /stale", LM, dword(1), "{usage}", 1},
    // The running system's own hive, however spelled or linked to.
    {"/hive HKLM\\SYSTEM /l", LM, dword(1), RUNNING_HIVE, 1},
    {"/hive hkey_local_machine\\system\\\\ /c C:\\run", LM, dword(1), RUNNING_HIVE_LONG, 1},
    {"/hive HKLM\\LINK /l /fo json", "HKLM\\LINK", dword(1),
     "{\"error\": {\"code\": 0, \"message\": \"HKLM\\\\LINK is the running system's own SYSTEM hive: use bootmove "
     "without /hive for its pending operations\"}}\n",
     1},
    // A control set that is not in the hive; KEY as typed in the document.
    {"/hive HKLM\\OFFSYS /l", LM, dword(7), NO_SET, 1},
    {"/hive HKLM\\OFFSYS /c C:\\one", LM, dword(7), NO_SET, 1},
    {"/hive HKLM\\OFFSYS /l /fo json", LM, dword(7),
     "{\"error\": {\"code\": 0, \"message\": \"the SYSTEM hive at HKLM\\\\OFFSYS has no ControlSet007, the control "
     "set its Select\\\\Current names\"}}\n",
     1},
    {"/hive HKLM\\Nope\n /l /fo json", LM, dword(1),
     "{\"error\": {\"code\": 0, \"message\": \"no SYSTEM hive is loaded at HKLM\\\\Nope\\u000a\"}}\n", 1},
    // Where no Windows runs, the same on the hive file itself.
    {"/hive F /l", "HIVE", dword(1), "File C:\\one -> C:\\uno\nFile C:\\eins -> (delete)\n", 0},
    {"/hive F /c C:\\deux C:\\zwei", "HIVE", dword(2), "", 0, {u"", u"\\??\\C:\\shared\0\0\0"s}},
    {"/l", "HIVE", dword(1), NO_WINDOWS, 1},
    {"/hive F /d C:\\one", "HIVE", dword(1), NO_WINDOWS, 1},
    // The usage text.
    {"/hive", LM, dword(1), "{usage}", 1},
    {"/hive HKLM\\OFFSYS", LM, dword(1), "{usage}", 1},
    // A word that begins with no root key's name is a file.
    {"/hive HKCU\\OFFSYS /l", LM, dword(1),
     "error: HKCU\\OFFSYS holds no SYSTEM hive: it has no Select\\Current from 1 to 999\n", 1},
    {"/hive HKLM\\ /l", LM, dword(1), "{usage}", 1},
    {"/hive HKLM\\a\\\\b /l", LM, dword(1), "{usage}", 1},
    {"/hive HKLM\\OFFSYS /l x", LM, dword(1), "{usage}", 1},
    {"/hive HKLM\\OFFSYS /d", LM, dword(1), "{usage}", 1},
    {"/hive HKLM\\OFFSYS /c", LM, dword(1), "{usage}", 1},
};

class Hive : public testing::TestWithParam<HiveRow> {};

std::u16string set_key(const char* tree, int set) {
    return widen(tree) + u"\\ControlSet00" + char16_t(u'0' + set) + u"\\Control\\Session Manager";
}

TEST_P(Hive, ActsOnTheCurrentSetOnly) {
    const HiveRow& row = GetParam();
    MemoryPlatformState state;
    state.value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, utf16_bytes(RUNNING)};
    state.running_system = std::string(row.tree) != "HIVE";
    state.keys[widen(row.tree) + u"\\Select"][u"Current"] = row.current;
    state.keys[set_key(row.tree, 3)];
    state.kernel_names[u"HKLM\\LINK"] = u"\\REGISTRY\\MACHINE\\SYSTEM";
    for (int set = 1; set <= 2; ++set) {
        for (int which = 0; which < 2; ++which) {
            state.keys[set_key(row.tree, set)][VALUE_NAMES[which]] = {true, VALUE_TYPE_MULTI_SZ,
                                                                      utf16_bytes(SETS[set - 1][which])};
        }
    }
    std::vector<std::string> arguments;
    for (std::string rest = row.arguments; !rest.empty();) {
        std::size_t space = rest.find(' ');
        arguments.push_back(rest.substr(0, space));
        rest = space == std::string::npos ? "" : rest.substr(space + 1);
    }
    MemoryPlatformState usage_state;
    std::string usage = run_bootmove(&usage_state, std::vector<std::string>{"/l", "x"}).output;

    CommandResult result = run_bootmove(&state, arguments);

    EXPECT_EQ(result.output, std::string(row.printed) == "{usage}" ? usage : crlf(row.printed));
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(state.value.data, utf16_bytes(RUNNING));
    for (const std::u16string& key : state.opened) EXPECT_EQ(key.find(u"CurrentControlSet"), std::u16string::npos);
    for (int set = 1; set <= 2; ++set) {
        bool current = row.current.type == VALUE_TYPE_DWORD && row.current.data[0] == set;
        for (int which = 0; which < 2; ++which) {
            std::u16string after = current ? row.after[which] : u"";
            EXPECT_EQ(text_of(state.keys[set_key(row.tree, set)][VALUE_NAMES[which]].data),
                      text_of(utf16_bytes(after.empty() ? SETS[set - 1][which] : after)))
                << "control set " << set << ", value " << which + 1;
        }
    }
    expect_nothing_held(state);
}

INSTANTIATE_TEST_SUITE_P(Rows, Hive, testing::ValuesIn(HIVES));

}  // namespace
