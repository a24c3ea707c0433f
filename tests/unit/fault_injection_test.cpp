// Every platform call a command makes, failing in turn; and the order of the
// checks before a move or delete is scheduled.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/run_support.h"

using namespace std::string_literals;

namespace {

const std::map<std::string, std::vector<std::string>> COMMANDS = {
    {"list", {"/l"}},
    {"cancel", {"/c", "C:\\a"}},
    {"move", {"C:\\bmtest\\a", "C:\\bmtest\\b"}},
    {"delete", {"/d", "C:\\bmtest\\a"}},
};

const std::string PENDING = "\\??\\C:\\a\0\0\\??\\C:\\b\0\0\0"s;

struct FaultRow {
    const char* command;
    const char* call;
    int occurrence;
    const char* printed;  // "{sys}" stands for the system's text of the code
};

void PrintTo(const FaultRow& row, std::ostream* out) {
    *out << row.command << ": " << row.call << " #" << row.occurrence;
}

const FaultRow FAULTS[] = {
    {"list", CALL_OPEN_KEY, 1, "error: {sys}\n"},
    {"list", CALL_QUERY_SIZE, 1, "error: {sys}\n"},
    {"list", CALL_ALLOCATE, 1, "error: {sys}\n"},
    {"list", CALL_QUERY_DATA, 1, "error: {sys}\n"},
    {"cancel", CALL_OPEN_KEY, 1, "error: {sys}\n"},
    {"cancel", CALL_QUERY_SIZE, 1, "error: {sys}\n"},
    {"cancel", CALL_ALLOCATE, 1, "error: {sys}\n"},
    {"cancel", CALL_QUERY_DATA, 1, "error: {sys}\n"},
    {"cancel", CALL_ALLOCATE, 2, "error: {sys}\n"},
    {"cancel", CALL_SET_VALUE, 1, "error: {sys}\n"},
    {"move", CALL_FIND_FIRST_FILE, 1, "error: file C:\\bmtest\\a does not exist, can't copy non-existant file\n"},
    {"move", CALL_MOVE_FILE_EX, 1, "Moving C:\\bmtest\\a to C:\\bmtest\\b at next reboot\nerror: {sys}\n"},
    {"delete", CALL_FIND_FIRST_FILE, 1, "error: file C:\\bmtest\\a does not exist, can't copy non-existant file\n"},
    {"delete", CALL_MOVE_FILE_EX, 1, "Deleting C:\\bmtest\\a next reboot\nerror: {sys}\n"},
};

// What may still be called once a call has failed: giving back what was
// taken, and reading the failed file call's code.
const std::set<std::string> AFTER_FAILURE = {CALL_RELEASE, CALL_CLOSE_KEY, CALL_FIND_CLOSE, CALL_GET_LAST_ERROR};

class Fault : public testing::TestWithParam<std::tuple<FaultRow, std::uint32_t>> {};

TEST_P(Fault, ReportsAndStops) {
    const FaultRow& row = std::get<0>(GetParam());
    std::uint32_t code = std::get<1>(GetParam());
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    state.entries = {"C:\\bmtest\\a"};
    state.value = MemoryValue{true, VALUE_TYPE_MULTI_SZ, bytes_of(PENDING)};
    state.failures = {{row.call, row.occurrence, code}};

    CommandResult result = run_bootmove(&state, COMMANDS.at(row.command));

    std::string printed = row.printed;
    std::size_t at = printed.find("{sys}");
    if (at != std::string::npos) {
        std::string call = row.call;
        printed.replace(at, 5, system_error_text(call == CALL_ALLOCATE ? ERROR_CODE_NOT_ENOUGH_MEMORY : code));
    }
    EXPECT_EQ(result.output, printed);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(state.value.present);
    EXPECT_EQ(text_of(state.value.data), PENDING);
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

// The move and delete forms: names shorter than 260 bytes, then a search
// proving the source exists, then the announcement and the delayed move.
struct ScheduleRow {
    const char* name;
    std::size_t source_length;
    std::size_t target_length;  // 0: a delete
    bool source_exists;
    const char* printed;  // {src} and {dst} stand for the names
    int status;
    const char* calls;
    const char* move;  // as passed to move_file_ex: "source|target|flags"
};

void PrintTo(const ScheduleRow& row, std::ostream* out) { *out << row.name; }

const char TOO_LONG[] = "error: file names must be less than 260 characters long\n";
const char MISSING[] = "error: file {src} does not exist, can't copy non-existant file\n";
const char SCHEDULED[] = "find_first_file find_close move_file_ex ";

const ScheduleRow SCHEDULES[] = {
    {"move_259_259", 259, 259, true, "Moving {src} to {dst} at next reboot\n", 0, SCHEDULED, "{src}|{dst}|5"},
    {"move_source_260", 260, 1, true, TOO_LONG, 1, "", ""},
    {"move_target_260", 1, 260, true, TOO_LONG, 1, "", ""},
    {"move_both_260", 260, 260, true, TOO_LONG, 1, "", ""},
    {"move_source_260_missing", 260, 1, false, TOO_LONG, 1, "", ""},
    {"move_target_260_source_missing", 1, 260, false, TOO_LONG, 1, "", ""},
    {"move_source_missing", 259, 259, false, MISSING, 1, "find_first_file ", ""},
    {"delete_259", 259, 0, true, "Deleting {src} next reboot\n", 0, SCHEDULED, "{src}|(none)|5"},
    {"delete_260", 260, 0, true, TOO_LONG, 1, "", ""},
    {"delete_missing", 1, 0, false, MISSING, 1, "find_first_file ", ""},
};

std::string filled(std::string text, const std::string& source, const std::string& target) {
    for (std::size_t at; (at = text.find("{src}")) != std::string::npos;) text.replace(at, 5, source);
    for (std::size_t at; (at = text.find("{dst}")) != std::string::npos;) text.replace(at, 5, target);
    return text;
}

class Schedule : public testing::TestWithParam<ScheduleRow> {};

TEST_P(Schedule, ChecksInOrder) {
    const ScheduleRow& row = GetParam();
    std::string source(row.source_length, 's');
    std::string target(row.target_length, 't');
    MemoryPlatformState state;
    state.current_directory = TEST_DIRECTORY;
    if (row.source_exists) state.entries = {std::string(TEST_DIRECTORY) + "\\" + source};

    CommandResult result = run_bootmove(&state, row.target_length > 0 ? std::vector<std::string>{source, target}
                                                                      : std::vector<std::string>{"/d", source});

    EXPECT_EQ(result.output, filled(row.printed, source, target));
    EXPECT_EQ(result.status, row.status);
    std::string calls;
    for (const std::string& call : state.calls) calls += call + " ";
    EXPECT_EQ(calls, row.calls);
    std::string moves;
    for (const std::string& move : state.moves) moves += move;
    EXPECT_EQ(moves, filled(row.move, source, target));
    expect_nothing_held(state);
}

INSTANTIATE_TEST_SUITE_P(Names, Schedule, testing::ValuesIn(SCHEDULES),
                         [](const testing::TestParamInfo<ScheduleRow>& row) { return row.param.name; });

}  // namespace
