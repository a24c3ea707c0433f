// "/why": every reason for a restart that the registry records, on the
// running system, at a hive loaded at KEY and in a hive file with or without
// a SOFTWARE file beside it; a key that cannot be read is an error for its
// reason alone. Nothing is ever written.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/unit/run_support.h"

using namespace std::string_literals;

namespace {

struct Entry {
    std::u16string key;     // as in MemoryPlatformState::keys
    const char16_t* value;  // null: the key alone
    MemoryValue data;
};

struct WhyRow {
    const char* arguments;  // separated by single spaces
    std::vector<Entry> entries;
    std::string printed;
    int status;
    std::vector<std::u16string> denied = {};
    std::uint32_t software_file_code = ERROR_CODE_FILE_NOT_FOUND;
};

void PrintTo(const WhyRow& row, std::ostream* out) { *out << row.arguments << " (" << row.printed << ")"; }

MemoryValue text(std::uint32_t type, const std::u16string& units) { return {true, type, utf16_bytes(units)}; }
MemoryValue sz(const std::u16string& name) { return text(VALUE_TYPE_SZ, name + u'\0'); }
MemoryValue dword(std::uint32_t number) {
    return {true, VALUE_TYPE_DWORD, {static_cast<unsigned char>(number), 0, 0, 0}};
}

const std::u16string WU = u"Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\";
const std::u16string CBS = u"Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\";
const std::u16string RUN_ONCE = u"Microsoft\\Windows\\CurrentVersion\\RunOnce";

// Every reason there is, in SYSTEM at the control set `set` (both names of
// a computer, the running system's and the offline one's), and in SOFTWARE
// at `software`.
std::vector<Entry> every_reason(const std::u16string& set, const std::u16string& software) {
    return {
        {set + u"Control\\Session Manager", u"PendingFileRenameOperations",
         text(VALUE_TYPE_MULTI_SZ, u"\\??\\C:\\bmtest\\live\0\0*1\\??\\C:\\bmtest\\gone\0!\\??\\C:\\bmtest\\x\0\0"s)},
        {set + u"Control\\Session Manager", u"PendingFileRenameOperations2",
         text(VALUE_TYPE_MULTI_SZ, u"\\??\\C:\\x\0\0\0"s)},
        {set + u"Control\\Session Manager", u"SetupExecute",
         text(VALUE_TYPE_MULTI_SZ, u"autocheck autochk *\0C:\\t\\a\u03a9\x1b.exe\0\0"s)},
        {set + u"Services\\Netlogon\\JoinDomain", nullptr, {}},
        {set + u"Services\\Netlogon\\AvoidSpnSet", nullptr, {}},
        {set + u"Control\\ComputerName\\ComputerName", u"ComputerName", sz(u"NEW-PC")},
        {set + u"Control\\ComputerName\\ActiveComputerName", u"ComputerName", sz(u"OLD-PC")},
        {set + u"Services\\Tcpip\\Parameters", u"NV Hostname", sz(u"new-host")},
        {set + u"Services\\Tcpip\\Parameters", u"Hostname", sz(u"old-host")},
        {software + CBS + u"RebootPending", nullptr, {}},
        {software + CBS + u"PackagesPending", nullptr, {}},
        {software + WU + u"RebootRequired", u"0b5c-\u03a9", sz(u"")},
        {software + WU + u"RebootRequired", u"1a2b", dword(1)},
        {software + WU + u"PostRebootReporting", nullptr, {}},
        {software + u"Microsoft\\Updates", u"UpdateExeVolatile", dword(1)},
        {software + u"WOW6432Node\\Microsoft\\Updates", u"UpdateExeVolatile", dword(2)},
        {software + u"Microsoft\\ServerManager", u"CurrentRebootAttempts", dword(3)},
        {software + RUN_ONCE, u"DVDRebootSignal", {true, VALUE_TYPE_BINARY, {2, 0, 0, 0}}},
    };
}

const std::u16string CCS = u"HKLM\\SYSTEM\\CurrentControlSet\\";
const std::u16string SM = CCS + u"Control\\Session Manager";
const std::vector<Entry> EVERY_REASON = every_reason(CCS, u"HKLM\\SOFTWARE\\");
// A hive loaded at HKLM\OFFSYS, and a hive file, with SOFTWARE beside it.
const std::vector<Entry> AT_KEY = every_reason(u"HKLM\\OFFSYS\\ControlSet001\\", u"HKLM\\SOFTWARE\\");
const std::vector<Entry> IN_FILE = every_reason(u"HIVE\\ControlSet002\\", u"SOFT\\");

// What no reason is: equal names but for case, empty strings, zeros, other
// values of the keys, a value that is no REG_DWORD.
const std::vector<Entry> NO_REASON = {
    {SM, u"PendingFileRenameOperations", text(VALUE_TYPE_MULTI_SZ, u"\0\\??\\C:\\x\0\0\0"s)},
    {SM, u"SetupExecute", text(VALUE_TYPE_MULTI_SZ, u"\0autocheck\0\0"s)},
    {CCS + u"Services\\Netlogon", u"Start", dword(2)},
    {CCS + u"Control\\ComputerName\\ComputerName", u"ComputerName", sz(u"Pc-1")},
    {CCS + u"Control\\ComputerName\\ActiveComputerName", u"ComputerName", sz(u"pC-1")},
    {CCS + u"Services\\Tcpip\\Parameters", u"NV Hostname", sz(u"other")},
    {u"HKLM\\SOFTWARE\\" + CBS + u"Version", u"x", dword(1)},
    {u"HKLM\\SOFTWARE\\Microsoft\\Updates", u"UpdateExeVolatile", dword(0)},
    {u"HKLM\\SOFTWARE\\Microsoft\\ServerManager", u"CurrentRebootAttempts", sz(u"12")},
    {u"HKLM\\SOFTWARE\\" + RUN_ONCE, u"Other", sz(u"x")},
};

const std::string SERVICES =
    "Not checked: windows_update_agent (the Windows Update Agent's own answer, known only to the running service)\n"
    "Not checked: configuration_manager (the Configuration Manager client's answer, known only to the running "
    "service)\n"
    "Not checked: dsc_configuration (the DSC Local Configuration Manager's answer, known only to the running "
    "service)\n";
const std::string SYSTEM_LINES =
    "  setup_execute: {set}Control\\Session Manager SetupExecute = \"autocheck autochk *\", \"C:\\t\\a?\x1B.exe\"\n"
    "  domain_join: {set}Services\\Netlogon\\JoinDomain\n"
    "  domain_join: {set}Services\\Netlogon\\AvoidSpnSet\n";
const std::string SOFTWARE_LINES =
    "  component_servicing: {sw}Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending\n"
    "  component_servicing: {sw}Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\PackagesPending\n"
    "  windows_update: {sw}Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired (updates: "
    "0b5c-?, 1a2b)\n"
    "  windows_update: {sw}Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\PostRebootReporting\n"
    "  update_exe_volatile: {sw}Microsoft\\Updates UpdateExeVolatile = 1 (a value known to go stale)\n"
    "  update_exe_volatile: {sw}WOW6432Node\\Microsoft\\Updates UpdateExeVolatile = 2 (a value known to go stale)\n"
    "  server_manager: {sw}Microsoft\\ServerManager CurrentRebootAttempts = 3\n"
    "  dvd_reboot_signal: {sw}Microsoft\\Windows\\CurrentVersion\\RunOnce DVDRebootSignal\n";
const std::string OPERATIONS =
    "  file_operations: {set}Control\\Session Manager PendingFileRenameOperations = 2 operations, "
    "PendingFileRenameOperations2 = 1 operation";
const std::string OFFLINE_RENAME =
    "  computer_rename: {set}Services\\Tcpip\\Parameters NV Hostname = new-host (Hostname: old-host)\n";
const std::string NO_ACTIVE_NAME =
    "Not checked: computer_rename (ComputerName against ActiveComputerName: a system that is not running keeps no "
    "active name)\n";

std::string unread(const std::string& why) {
    std::string lines;
    for (const char* reason :
         {"component_servicing", "windows_update", "update_exe_volatile", "server_manager", "dvd_reboot_signal"}) {
        lines += "Not checked: " + std::string(reason) + " (" + why + ")\n";
    }
    return lines;
}

std::string in(std::string text, const std::string& set, const std::string& software = "") {
    for (std::size_t at; (at = text.find("{set}")) != std::string::npos;) text.replace(at, 5, set);
    for (std::size_t at; (at = text.find("{sw}")) != std::string::npos;) text.replace(at, 4, software);
    return text;
}

std::string without(const std::string& text, const std::string& start) {
    std::string kept;
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (text.compare(at, start.size(), start) != 0) kept += text.substr(at, end + 1 - at);
    }
    return kept;
}

const std::string RUNNING = "HKLM\\SYSTEM\\CurrentControlSet\\";
const std::string FILE_SET = "ControlSet002\\";
const std::string DENIED =
    "error: server_manager: HKLM\\SOFTWARE\\Microsoft\\ServerManager CurrentRebootAttempts: "
    "Access denied.\n";

const WhyRow ROWS[] = {
    {"/why", NO_REASON, "No restart is pending.\n" + SERVICES, 0},
    {"/why", EVERY_REASON,
     in("A restart is pending:\n" + OPERATIONS + " (2 stale, which bootmove /c /stale clears)\n" + SYSTEM_LINES +
            "  computer_rename: {set}Control\\ComputerName\\ComputerName ComputerName = NEW-PC (ActiveComputerName: "
            "OLD-PC)\n" +
            SOFTWARE_LINES + SERVICES,
        RUNNING, "HKLM\\SOFTWARE\\"),
     0},
    // A key that cannot be read is an error for its reason alone; the
    // others are reported.
    {"/why",
     EVERY_REASON,
     in("A restart is pending:\n" + OPERATIONS + " (2 stale, which bootmove /c /stale clears)\n" + SYSTEM_LINES +
            without(SOFTWARE_LINES, "  server_manager"),
        RUNNING, "HKLM\\SOFTWARE\\") +
         SERVICES +
         "error: computer_rename: HKLM\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName "
         "ComputerName: Access denied.\n" +
         DENIED,
     1,
     {u"HKLM\\SOFTWARE\\Microsoft\\ServerManager", CCS + u"Control\\ComputerName\\ActiveComputerName"}},
    {"/why /fo json",
     NO_REASON,
     "{\"restart_pending\": null, \"reasons\": [], \"not_checked\": [\n  {\"reason\": \"windows_update_agent\", "
     "\"why\": \"the Windows Update Agent's own answer, known only to the running service\"},\n  {\"reason\": "
     "\"configuration_manager\", \"why\": \"the Configuration Manager client's answer, known only to the running "
     "service\"},\n  {\"reason\": \"dsc_configuration\", \"why\": \"the DSC Local Configuration Manager's answer, "
     "known only to the running service\"}\n], \"errors\": [\n  {\"reason\": \"server_manager\", \"key\": "
     "\"HKLM\\\\SOFTWARE\\\\Microsoft\\\\ServerManager\", \"value\": \"CurrentRebootAttempts\", \"error\": {\"code\": "
     "5, \"message\": \"Access denied.\"}}\n]}\n",
     1,
     {u"HKLM\\SOFTWARE\\Microsoft\\ServerManager"}},
    // Offline: the current control set, not the running system's; no stale
    // operations judged and no active name; SOFTWARE only beside a file.
    {"/hive HKLM\\OFFSYS /why", AT_KEY,
     in("A restart is pending:\n" + OPERATIONS + "\n" + SYSTEM_LINES + OFFLINE_RENAME,
        "HKLM\\OFFSYS\\ControlSet001\\") +
         NO_ACTIVE_NAME + unread("/hive KEY reads the SYSTEM hive alone") + SERVICES,
     0},
    {"/hive F /why", IN_FILE,
     in("A restart is pending:\n" + OPERATIONS + "\n" + SYSTEM_LINES + OFFLINE_RENAME, FILE_SET) + NO_ACTIVE_NAME +
         unread("no SOFTWARE hive beside F") + SERVICES,
     0},
    {"/hive F /why",
     IN_FILE,
     in("A restart is pending:\n" + OPERATIONS + "\n" + SYSTEM_LINES + OFFLINE_RENAME + SOFTWARE_LINES, FILE_SET) +
         NO_ACTIVE_NAME + SERVICES,
     0,
     {},
     ERROR_CODE_SUCCESS},
    // A SOFTWARE hive there that cannot be opened: an error for each of its
    // reasons.
    {"/hive F /why",
     IN_FILE,
     in("A restart is pending:\n" + OPERATIONS + "\n" + SYSTEM_LINES + OFFLINE_RENAME, FILE_SET) + NO_ACTIVE_NAME +
         SERVICES + "error: component_servicing: the SOFTWARE hive beside F: Access denied.\n" +
         "error: windows_update: the SOFTWARE hive beside F: Access denied.\n" +
         "error: update_exe_volatile: the SOFTWARE hive beside F: Access denied.\n" +
         "error: server_manager: the SOFTWARE hive beside F: Access denied.\n" +
         "error: dvd_reboot_signal: the SOFTWARE hive beside F: Access denied.\n",
     1,
     {},
     ERROR_CODE_ACCESS_DENIED},
    {"/hive HKLM\\Nope /why /fo json", AT_KEY,
     "{\"error\": {\"code\": 0, \"message\": \"no SYSTEM hive is loaded at HKLM\\\\Nope\"}}\n", 1},
};

class Why : public testing::TestWithParam<WhyRow> {};

void fill(MemoryPlatformState* state, const WhyRow& row) {
    state->running_system = std::string(row.arguments).find("/hive F") != 0;
    state->software_file_code = row.software_file_code;
    for (const std::u16string& denied : row.denied) state->denied.insert(denied);
    for (const Entry& entry : row.entries) {
        if (entry.key == SM && entry.value == u"PendingFileRenameOperations"s) {
            state->value = entry.data;
        } else if (entry.key == SM && entry.value == u"PendingFileRenameOperations2"s) {
            state->second = entry.data;
        } else if (entry.value == nullptr) {
            state->keys[entry.key];
        } else {
            state->keys[entry.key][entry.value] = entry.data;
        }
    }
    state->entries.insert(u"C:\\bmtest\\live");
    state->keys[u"HKLM\\OFFSYS\\Select"][u"Current"] = dword(1);
    state->keys[u"HIVE\\Select"][u"Current"] = dword(2);
}

TEST_P(Why, ReportsEveryReason) {
    const WhyRow& row = GetParam();
    MemoryPlatformState state;
    fill(&state, row);
    std::vector<std::string> arguments;
    for (std::string rest = row.arguments; !rest.empty();) {
        std::size_t space = rest.find(' ');
        arguments.push_back(rest.substr(0, space));
        rest = space == std::string::npos ? "" : rest.substr(space + 1);
    }

    CommandResult result = run_bootmove(&state, arguments);

    EXPECT_EQ(result.output, crlf(row.printed));
    EXPECT_EQ(result.status, row.status);
    EXPECT_TRUE(state.writes.empty());
    // Never the running system's keys offline; SOFTWARE in its 64-bit view.
    for (std::size_t at = 0; at < state.opened.size(); ++at) {
        if (!state.running_system || row.arguments[1] == 'h') {
            EXPECT_EQ(state.opened[at].find(u"CurrentControlSet"), std::u16string::npos);
        }
        if (state.opened[at].find(u"HKLM\\SOFTWARE") == 0) {
            EXPECT_NE(state.opened_access[at] & ACCESS_VIEW_64, 0u) << narrow(state.opened[at]);
        }
    }
    EXPECT_EQ(state.software_file, state.running_system ? u"" : u"F|SOFTWARE");
    expect_nothing_held(state);
}

INSTANTIATE_TEST_SUITE_P(Rows, Why, testing::ValuesIn(ROWS));

// Each registry call failing in turn is an error for one reason, and
// leaves nothing held; a failed lookup of a file only leaves an operation
// not stale.
TEST(WhyFaults, EachCallFailingInTurn) {
    const WhyRow row{"/why", EVERY_REASON, "", 0};
    MemoryPlatformState clean;
    fill(&clean, row);
    run_bootmove(&clean, std::vector<std::string>{"/why"});
    std::map<std::string, int> seen;
    for (const std::string& call : clean.calls) {
        int occurrence = ++seen[call];
        MemoryPlatformState state;
        fill(&state, row);
        state.failures = {{call, occurrence, ERROR_CODE_ACCESS_DENIED}};
        CommandResult result = run_bootmove(&state, std::vector<std::string>{"/why"});
        bool registry = call == CALL_OPEN_KEY || call == CALL_QUERY_SIZE || call == CALL_QUERY_DATA ||
                        call == CALL_ENUM_VALUE || call == CALL_ALLOCATE;
        EXPECT_EQ(result.status, registry ? 1 : 0) << call << " #" << occurrence;
        expect_nothing_held(state);
    }
}

}  // namespace
