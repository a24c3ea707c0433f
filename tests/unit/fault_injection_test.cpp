// Every platform call a command makes, failing in turn; values that grow or
// change while a command reads them; and the order of the checks before a
// move or delete is scheduled.
#include <gtest/gtest.h>
#include <locale.h>
#include <wctype.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/run_support.h"

using namespace std::string_literals;

namespace {

const std::map<std::string, std::vector<std::string>> COMMANDS = {
    {"list", {"/l"}},
    {"json", {"/l", "/fo", "json"}},
    {"cancel", {"/c", "C:\\a"}},
    {"move", {"C:\\bmtest\\a", "C:\\bmtest\\b"}},
    {"delete", {"/d", "C:\\bmtest\\a"}},
    {"stale", {"/c", "/stale"}},
};

const std::u16string PENDING = u"\\??\\C:\\a\0\0\\??\\C:\\b\0\0\0"s;
const char LISTED[] = "File C:\\a -> (delete)\nFile C:\\b -> (delete)\n";

struct FaultRow {
    const char* command;
    const char* call;
    int occurrence;
    const char* printed;  // "{sys}" stands for the system's text of the code
};

void PrintTo(const FaultRow& row, std::ostream* out) {
    *out << row.command << ": " << row.call << " #" << row.occurrence;
}

// The second read of each kind in "/l" is of the second value; in "/c" it
// is the read again just before the write.
const FaultRow FAULTS[] = {
    {"list", CALL_OPEN_KEY, 1, "error: {sys}\n"},
    {"list", CALL_QUERY_SIZE, 1, "error: {sys}\n"},
    {"list", CALL_ALLOCATE, 1, "error: {sys}\n"},
    {"list", CALL_QUERY_DATA, 1, "error: {sys}\n"},
    {"list", CALL_QUERY_SIZE, 2, "{list}error: {sys}\n"},
    // The document of the error alone, never a partial list.
    {"json", CALL_OPEN_KEY, 1, "{json}"},
    {"json", CALL_QUERY_SIZE, 2, "{json}"},
    {"cancel", CALL_OPEN_KEY, 1, "error: {sys}\n"},
    {"cancel", CALL_QUERY_SIZE, 1, "error: {sys}\n"},
    {"cancel", CALL_ALLOCATE, 1, "error: {sys}\n"},
    {"cancel", CALL_QUERY_DATA, 1, "error: {sys}\n"},
    {"cancel", CALL_QUERY_SIZE, 2, "error: {sys}\n"},
    {"cancel", CALL_ALLOCATE, 2, "error: {sys}\n"},
    {"cancel", CALL_QUERY_DATA, 2, "error: {sys}\n"},
    {"cancel", CALL_SET_VALUE, 1, "error: {sys}\n"},
    {"stale", CALL_OPEN_KEY, 1, "error: {sys}\n"},
    {"stale", CALL_ALLOCATE, 2, "error: {sys}\n"},
    {"stale", CALL_QUERY_DATA, 2, "error: {sys}\n"},
    {"stale", CALL_DELETE_VALUE, 1, "error: {sys}\n"},
    {"move", CALL_FIND_FIRST_FILE, 1, "error: file C:\\bmtest\\a does not exist, can't copy non-existant file\n"},
    {"move", CALL_MOVE_FILE_EX, 1, "error: {sys}\n"},
    {"delete", CALL_FIND_FIRST_FILE, 1, "error: file C:\\bmtest\\a does not exist, can't copy non-existant file\n"},
    {"delete", CALL_OPEN_KEY, 1, "error: {sys}\n"},
    {"delete", CALL_QUERY_SIZE, 1, "error: {sys}\n"},
    {"delete", CALL_ALLOCATE, 1, "error: {sys}\n"},
    {"delete", CALL_QUERY_DATA, 1, "error: {sys}\n"},
    {"delete", CALL_MOVE_FILE_EX, 1, "error: {sys}\n"},
};

// What may still be called once a call has failed: giving back what was
// taken, and reading the failed file call's code.
const std::set<std::string> AFTER_FAILURE = {
    CALL_RELEASE, CALL_CLOSE_KEY, CALL_FIND_CLOSE, CALL_REVERT_REDIRECTION, CALL_GET_LAST_ERROR, CALL_UNLOCK};

std::string filled(std::string text, const std::string& placeholder, const std::string& with) {
    for (std::size_t at; (at = text.find(placeholder)) != std::string::npos;)
        text.replace(at, placeholder.size(), with);
    return text;
}

MemoryPlatformState pending_state() {
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    state.entries = {u"C:\\bmtest\\a"};
    state.value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, utf16_bytes(PENDING)};
    return state;
}

class Fault : public testing::TestWithParam<std::tuple<FaultRow, std::uint32_t>> {};

TEST_P(Fault, ReportsAndStops) {
    const FaultRow& row = std::get<0>(GetParam());
    std::uint32_t code = std::get<1>(GetParam());
    MemoryPlatformState state = pending_state();
    state.failures = {{row.call, row.occurrence, code}};

    CommandResult result = run_bootmove(&state, COMMANDS.at(row.command));

    std::string call = row.call;
    std::uint32_t reported = call == CALL_ALLOCATE ? ERROR_CODE_NOT_ENOUGH_MEMORY : code;
    std::string message = system_error_text(reported);
    std::string document = "{\"error\": {\"code\": " + std::to_string(reported) + ", \"message\": \"" +
                           message.substr(0, message.size() - 2) + "\"}}\n";
    std::string printed = filled(filled(row.printed, "{list}", LISTED), "{json}", document);
    printed = filled(printed, "{sys}", message);
    EXPECT_EQ(result.output, crlf(printed));
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(state.value.present);
    EXPECT_EQ(state.value.data, utf16_bytes(PENDING));
    EXPECT_TRUE(state.writes.empty());
    expect_nothing_held(state);

    int seen = 0;
    std::size_t failed = 0;
    while (failed < state.calls.size() && (state.calls[failed] != row.call || ++seen < row.occurrence)) ++failed;
    ASSERT_LT(failed, state.calls.size()) << row.call << " #" << row.occurrence << " was never called";
    for (std::size_t i = failed + 1; i < state.calls.size(); ++i) {
        EXPECT_EQ(AFTER_FAILURE.count(state.calls[i]), 1u) << state.calls[i] << " after the failure";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCall, Fault, testing::Combine(testing::ValuesIn(FAULTS), testing::Values(5u, 1450u)),
                         [](const testing::TestParamInfo<Fault::ParamType>& param) {
                             const FaultRow& row = std::get<0>(param.param);
                             return std::string(row.command) + "_" + row.call + "_" + std::to_string(row.occurrence) +
                                    "_code_" + std::to_string(std::get<1>(param.param));
                         });

// Another program writes while a command runs: the value grows between its
// size and its data (the data query says "more data"), or changes between
// the search of "/c" and its read just before the write.
struct RaceRow {
    const char* name;
    const char* command;
    int more_data;                      // data queries answered "more data", from the first
    std::vector<MemoryChange> changes;  // values written by the other program
    const char* printed;
    int status;
    std::u16string after;  // the first value afterwards
};

void PrintTo(const RaceRow& row, std::ostream* out) { *out << row.name; }

MemoryValue multi_sz(const std::u16string& units) { return {true, VALUE_TYPE_MULTI_SZ, utf16_bytes(units)}; }

const std::u16string GROWN = PENDING.substr(0, PENDING.size() - 1) + u"\\??\\C:\\n\0\0\0"s;
const std::u16string OTHERS_CANCEL = u"\\??\\C:\\b\0\0\0"s;

std::vector<MemoryChange> every_read(int reads, const std::u16string& first) {
    std::vector<MemoryChange> changes;
    for (int read = 1; read <= reads; ++read) {
        changes.push_back({CALL_QUERY_SIZE, read, false, multi_sz(first + std::u16string(1, char16_t(u'a' + read)))});
    }
    return changes;
}

const RaceRow RACES[] = {
    // Grown a little: the read leaves room for it.
    {"list_grown_between_size_and_data",
     "list",
     0,
     {{CALL_QUERY_DATA, 1, false, multi_sz(GROWN)}},
     "File C:\\a -> (delete)\nFile C:\\b -> (delete)\nFile C:\\n -> (delete)\n",
     0,
     GROWN},
    {"list_grows_four_times", "list", 4, {}, LISTED, 0, PENDING},
    {"list_grows_five_times", "list", 5, {}, "error: More data is available.\r\n\n", 1, PENDING},
    {"cancel_grows_four_times", "cancel", 4, {}, "", 0, u"\\??\\C:\\b\0\0\0"s},
    {"cancel_grows_five_times", "cancel", 5, {}, "error: More data is available.\r\n\n", 1, PENDING},
    // An operation added after the search is kept.
    {"cancel_keeps_what_was_added",
     "cancel",
     0,
     {{CALL_QUERY_SIZE, 2, false, multi_sz(GROWN)}},
     "",
     0,
     u"\\??\\C:\\b\0\0\\??\\C:\\n\0\0\0"s},
    // The operation went meanwhile: nothing left to cancel, nothing written.
    {"cancel_gone_meanwhile",
     "cancel",
     0,
     {{CALL_QUERY_SIZE, 2, false, multi_sz(OTHERS_CANCEL)}},
     "Could not fild a matching a pending file operation\n",
     1,
     OTHERS_CANCEL},
    // The value went meanwhile.
    {"cancel_value_deleted_meanwhile",
     "cancel",
     0,
     {{CALL_QUERY_SIZE, 2, false, MemoryValue{false, 0, {}}}},
     "error: File not found.\r\n\n",
     1,
     u""},
    // Changed before every read: the search is made again a few times, then
    // nothing is written.
    {"cancel_settles_on_the_last_try", "cancel", 0, every_read(15, PENDING), "", 0, u"\\??\\C:\\b\0\0\0p"s},
    // Between the mend and the system's append: an append behind another
    // program's list end is reported, one after its well-formed append is not.
    {"delete_behind_the_list_end",
     "delete",
     0,
     {{CALL_MOVE_FILE_EX, 1, false, multi_sz(u"\\??\\C:\\x\0\0\0\0"s)}},
     "error: the system recorded the operation, but it could not be confirmed that the restart will read it, so it "
     "may not be carried out\n",
     1,
     u"\\??\\C:\\x\0\0\0\\??\\C:\\bmtest\\a\0\0\0"s},
    {"delete_after_another_append",
     "delete",
     0,
     {{CALL_MOVE_FILE_EX, 1, false, multi_sz(GROWN)}},
     "Deleting C:\\bmtest\\a next reboot\n",
     0,
     GROWN.substr(0, GROWN.size() - 1) + u"\\??\\C:\\bmtest\\a\0\0\0"s},
    // The second value came between the decision and the write: the first
    // value's lone last source is decided again, and kept.
    {"stale_second_came_meanwhile",
     "stale",
     0,
     {{CALL_QUERY_SIZE, 1, false, multi_sz(u"\\??\\C:\\a\0\0\\??\\C:\\b\0"s)},
      {CALL_QUERY_SIZE, 4, true, multi_sz(u"\\??\\C:\\c\0\0\0"s)}},
     "File C:\\a -> (delete)\n",
     0,
     u"\\??\\C:\\b\0"s},
    {"cancel_never_settles", "cancel", 0, every_read(16, PENDING),
     "error: the pending operations kept changing while they were read; nothing was changed\n", 1, u""},
};

class Race : public testing::TestWithParam<RaceRow> {};

TEST_P(Race, KeepsWhatOthersWrote) {
    const RaceRow& row = GetParam();
    MemoryPlatformState state = pending_state();
    for (int read = 1; read <= row.more_data; ++read) state.failures.push_back({CALL_QUERY_DATA, read, 234});
    state.changes = row.changes;

    CommandResult result = run_bootmove(&state, COMMANDS.at(row.command));

    EXPECT_EQ(result.output, crlf(row.printed));
    EXPECT_EQ(result.status, row.status);
    if (!row.after.empty()) {
        EXPECT_EQ(text_of(state.value.data), text_of(utf16_bytes(row.after)));
    }
    if (row.status != 0) {
        EXPECT_TRUE(state.writes.empty());
    }
    expect_nothing_held(state);
}

INSTANTIATE_TEST_SUITE_P(Writers, Race, testing::ValuesIn(RACES),
                         [](const testing::TestParamInfo<RaceRow>& row) { return std::string(row.param.name); });

// The move and delete forms: names shorter than 260 units, then a search
// proving the source exists as the restart will see it, then the
// announcement and the delayed move.
struct ScheduleRow {
    const char* name;
    std::size_t source_length;
    std::size_t target_length;  // 0: a delete
    char16_t unit;              // what the names are made of
    bool source_exists;
    const char* printed;  // {src} and {dst} stand for the names
    int status;
    const char* calls;
    const char* move;  // as passed to move_file_ex: "source|target|flags"
};

void PrintTo(const ScheduleRow& row, std::ostream* out) { *out << row.name; }

const char TOO_LONG[] = "error: file names must be less than 260 characters long\n";
const char MISSING[] = "error: file {src} does not exist, can't copy non-existant file\n";
const char SCHEDULED[] =
    "disable_redirection find_first_file find_close revert_redirection lock open_key query_size query_size close_key "
    "move_file_ex open_key query_size allocate query_data release close_key unlock ";
const char NOT_FOUND[] = "disable_redirection find_first_file revert_redirection ";

const ScheduleRow SCHEDULES[] = {
    {"move_259_259", 259, 259, u's', true, "Moving {src} to {dst} at next reboot\n", 0, SCHEDULED, "{src}|{dst}|5"},
    {"move_source_260", 260, 1, u's', true, TOO_LONG, 1, "", ""},
    {"move_target_260", 1, 260, u's', true, TOO_LONG, 1, "", ""},
    {"move_both_260", 260, 260, u's', true, TOO_LONG, 1, "", ""},
    {"move_source_260_missing", 260, 1, u's', false, TOO_LONG, 1, "", ""},
    {"move_target_260_source_missing", 1, 260, u's', false, TOO_LONG, 1, "", ""},
    {"move_source_missing", 259, 259, u's', false, MISSING, 1, NOT_FOUND, ""},
    {"delete_259", 259, 0, u's', true, "Deleting {src} next reboot\n", 0, SCHEDULED, "{src}|(none)|5"},
    {"delete_260", 260, 0, u's', true, TOO_LONG, 1, "", ""},
    {"delete_missing", 1, 0, u's', false, MISSING, 1, NOT_FOUND, ""},
    // Units are counted, not the bytes of a code page.
    {"delete_259_japanese", 259, 0, u'\u30A2', true, "Deleting {src} next reboot\n", 0, SCHEDULED, "{src}|(none)|5"},
    {"delete_260_japanese", 260, 0, u'\u30A2', true, TOO_LONG, 1, "", ""},
    {"move_259_emoji_halves", 259, 259, u'\xD83D', true, "Moving {src} to {dst} at next reboot\n", 0, SCHEDULED,
     "{src}|{dst}|5"},
};

class Schedule : public testing::TestWithParam<ScheduleRow> {};

TEST_P(Schedule, ChecksInOrder) {
    const ScheduleRow& row = GetParam();
    std::u16string source(row.source_length, row.unit);
    std::u16string target(row.target_length, row.unit == u's' ? u't' : row.unit);
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    if (row.source_exists) state.entries = {std::u16string(TEST_DIRECTORY) + u"\\" + source};

    CommandResult result = run_bootmove(&state, row.target_length > 0 ? std::vector<std::u16string>{source, target}
                                                                      : std::vector<std::u16string>{u"/d", source});

    std::string printed_source = narrow(source);
    std::string printed_target = narrow(target);
    EXPECT_EQ(result.output, crlf(filled(filled(row.printed, "{src}", printed_source), "{dst}", printed_target)));
    EXPECT_EQ(result.status, row.status);
    std::string calls;
    for (const std::string& call : state.calls) calls += call + " ";
    EXPECT_EQ(calls, row.calls);
    std::u16string moves;
    for (const std::u16string& move : state.moves) moves += move;
    std::u16string expected = widen(row.move);
    for (std::size_t at; (at = expected.find(u"{src}")) != std::u16string::npos;) expected.replace(at, 5, source);
    for (std::size_t at; (at = expected.find(u"{dst}")) != std::u16string::npos;) expected.replace(at, 5, target);
    EXPECT_EQ(moves, expected);
    expect_nothing_held(state);
}

INSTANTIATE_TEST_SUITE_P(Names, Schedule, testing::ValuesIn(SCHEDULES),
                         [](const testing::TestParamInfo<ScheduleRow>& row) { return row.param.name; });

// What bootmove schedules is listed and cancelled alike whether the system
// records it as Wine does or with the marks of current Windows.
TEST(Schedule, ThenListAndCancelInEitherForm) {
    for (bool marked : {false, true}) {
        MemoryPlatformState state;
        state.current_directory = TEST_DIRECTORY;
        state.marked_records = marked;
        state.entries = {u"C:\\bmtest\\a", u"C:\\bmtest\\c", u"C:\\bmtest\\\u03A9"};
        for (const std::vector<std::u16string>& command :
             {std::vector<std::u16string>{u"a", u"b"}, {u"/d", u"c"}, {u"\u03A9", u"\xD83D\xDE00"}}) {
            EXPECT_EQ(run_bootmove(&state, command).status, 0) << marked;
        }
        CommandResult listed = run_bootmove(&state, std::vector<std::string>{"/l"});
        EXPECT_EQ(listed.output, crlf("File C:\\bmtest\\a -> C:\\bmtest\\b\nFile C:\\bmtest\\c -> (delete)\n"
                                      "File C:\\bmtest\\? -> C:\\bmtest\\?\n"))
            << marked;
        std::u16string mark = marked ? u"*1" : u"";
        std::u16string moved = mark + u"\\??\\C:\\bmtest\\a\0"s + mark + u"!\\??\\C:\\bmtest\\b\0"s;
        EXPECT_EQ(
            run_bootmove(&state, std::vector<std::u16string>{u"/c", u"C:\\BMTEST\\\u03A9", u"C:\\bmtest\\\xD83D\xDE00"})
                .status,
            0);
        EXPECT_EQ(run_bootmove(&state, std::vector<std::u16string>{u"/c", u"c:\\bmtest\\C"}).status, 0);
        EXPECT_EQ(text_of(state.value.data), text_of(utf16_bytes(moved + u"\0"s))) << marked;
        expect_nothing_held(state);
    }
}

// A 32-bit program on 64-bit Windows: the existence check looks where the
// restart will act, in System32 itself, not in SysWOW64.
struct RedirectedRow {
    const char16_t* entry;
    const char* name;
    int status;
};

const RedirectedRow REDIRECTED[] = {
    {u"C:\\Windows\\System32\\bm64.txt", "C:\\windows\\system32\\bm64.txt", 0},
    {u"C:\\Windows\\SysWOW64\\only32.txt", "C:\\Windows\\System32\\only32.txt", 1},
    {u"C:\\Windows\\SysWOW64\\only32.txt", "C:\\Windows\\SysWOW64\\only32.txt", 0},
};

TEST(Schedule, SearchesWhereTheRestartActs) {
    for (const RedirectedRow& row : REDIRECTED) {
        MemoryPlatformState state;
        state.wow64 = true;
        state.entries = {row.entry};
        CommandResult result = run_bootmove(&state, std::vector<std::string>{"/d", row.name});
        EXPECT_EQ(result.status, row.status) << row.name;
        EXPECT_EQ(state.moves.size(), row.status == 0 ? 1u : 0u) << row.name;
        expect_nothing_held(state);
    }
}

}  // namespace

namespace {

// Without the lock nothing is changed: the system's text when access to it
// was refused, else that another program holds it (it kept it past the wait,
// or the name is another kind of object). A failed mend of the value stops a
// delete before the system is asked.
TEST(Lock, NothingChangesWithoutIt) {
    const std::string held = "error: another program holds the lock on the pending operations; nothing was changed\n";
    for (const char* command : {"cancel", "delete", "stale"}) {
        for (std::uint32_t code : {5u, 258u, 6u}) {
            MemoryPlatformState state = pending_state();
            state.failures = {{CALL_LOCK, 1, code}};
            CommandResult result = run_bootmove(&state, COMMANDS.at(command));
            EXPECT_EQ(result.output, crlf(code == 5 ? "error: "s + system_error_text(5) + "\n" : held)) << command;
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(state.writes.empty() && state.moves.empty()) << command;
            expect_nothing_held(state);
        }
    }
    MemoryPlatformState state = pending_state();
    state.value = multi_sz(u"\\??\\C:\\x\0"s);
    state.failures = {{CALL_SET_VALUE, 1, 5}};
    CommandResult result = run_bootmove(&state, COMMANDS.at("delete"));
    EXPECT_EQ(result.output, crlf("error: "s + system_error_text(5) + "\n"));
    EXPECT_TRUE(state.moves.empty());
    expect_nothing_held(state);
}

}  // namespace

namespace {

// "/c /stale" writes each value once: when the second value's write is
// refused, the first stays written and its operations are listed first.
TEST(Stale, SecondWriteRefusedAfterTheFirst) {
    const std::string entry =
        "{\"value\": \"PendingFileRenameOperations\", \"kind\": \"delete\", \"source\": \"C:\\\\X\", \"target\": null, "
        "\"replace\": false, \"stored_source\": \"\\\\??\\\\C:\\\\X\", \"stored_target\": \"\", \"source_exists\": "
        "false, "
        "\"target_exists\": null}";
    const std::string both = "  " + filled(entry, "X", "a") + ",\n  " + filled(entry, "X", "b");
    const std::string printed[] = {
        LISTED + "error: "s + system_error_text(5) + "\n",
        "{\"operations\": [\n" + both + "\n], \"error\": {\"code\": 5, \"message\": \"Access denied.\"}}\n"};
    // A second value without operations is deleted as well.
    for (int run = 0; run < 4; ++run) {
        bool json = run % 2 != 0;
        MemoryPlatformState state = pending_state();
        std::u16string second = run < 2 ? u"\\??\\C:\\c\0\0\0"s : u"\0"s;
        state.second = multi_sz(second);
        state.failures = {{CALL_DELETE_VALUE, 2, 5}};
        CommandResult result =
            run_bootmove(&state, json ? std::vector<std::string>{"/c", "/fo", "json", "/stale"} : COMMANDS.at("stale"));
        EXPECT_EQ(result.output, crlf(printed[json]));
        EXPECT_EQ(result.status, 1);
        EXPECT_FALSE(state.value.present);
        EXPECT_EQ(state.second.data, utf16_bytes(second));
        expect_nothing_held(state);
    }
}

// Two names the system could not compare count as one, so the second
// delete is not stale: sharp s and capital sharp s hash alike (some table
// may join them) and are compared.
TEST(Stale, NamesNotComparedCountAsOne) {
    for (bool refused : {false, true}) {
        MemoryPlatformState state;
        state.value = multi_sz(u"\\??\\C:\\a\0\\??\\C:\\\u00df\0\\??\\C:\\\u1e9e\0\0\0"s);
        if (refused) state.failures = {{CALL_SAME_NAME, 1, 87}};
        CommandResult result = run_bootmove(&state, std::vector<std::string>{"/l", "/stale"});
        EXPECT_EQ(result.output,
                  crlf(refused ? "File C:\\a -> C:\\\xdf\n" : "File C:\\a -> C:\\\xdf\nFile C:\\? -> (delete)\n"));
        EXPECT_EQ(count_calls(state, CALL_SAME_NAME), 1);
        expect_nothing_held(state);
    }
}

// Every unit of the BMP and its upper case, as the in-memory body compares
// them, are one name to the chain check: a delete of the one after a move
// onto the other is never stale, whatever the script.
TEST(Stale, EveryUnitIsOneNameWithItsUpperCase) {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    std::u16string moves;
    std::u16string deletes;
    for (wint_t unit = 0x80; unit < 0x10000; ++unit) {
        wint_t upper = towupper_l(unit, utf8);
        if (upper == unit || upper > 0xFFFF || (unit >= 0xD800 && unit < 0xE000)) continue;
        moves += u"\\??\\C:\\gone\0\\??\\C:\\"s + static_cast<char16_t>(upper) + u'\0';
        deletes += u"\\??\\C:\\"s + static_cast<char16_t>(unit) + u"\0\0"s;
    }
    freelocale(utf8);
    MemoryPlatformState state;
    state.value = multi_sz(moves + deletes + u'\0');
    CommandResult result = run_bootmove(&state, std::vector<std::string>{"/l", "/stale"});
    EXPECT_GT(moves.size(), 10000u);
    EXPECT_EQ(result.output.find("(delete)"), std::string::npos) << result.output;
}

}  // namespace
