// The walk over the value's bytes. Every buffer here is exactly `size` bytes
// from new[], so that a read past the data's end shows under AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pending/pending_value.h"

using namespace std::string_literals;

namespace {

// The value's bytes in a buffer of their exact size.
class ExactValue {
public:
    explicit ExactValue(const std::string& bytes) : buffer_(new unsigned char[bytes.size()]) {
        std::memcpy(buffer_.get(), bytes.data(), bytes.size());
        value_ = PendingValue{0, 7, static_cast<std::uint32_t>(bytes.size()), buffer_.get()};
    }
    const PendingValue& value() const { return value_; }
    std::string name(StoredName stored) const {
        return std::string(reinterpret_cast<const char*>(buffer_.get()) + stored.start, stored.length);
    }

private:
    std::unique_ptr<unsigned char[]> buffer_;
    PendingValue value_;
};

struct Step {
    OperationKind kind;
    OperationCursor begin;
    OperationCursor end;
    std::string source;
    std::string target;
};

constexpr OperationKind MOVE = OperationKind::move;
constexpr OperationKind DELETE = OperationKind::delete_file;
constexpr OperationKind ORPHAN = OperationKind::orphaned_target;

struct WalkRow {
    std::string bytes;
    std::vector<Step> steps;
};

void PrintTo(const WalkRow& row, std::ostream* out) { *out << testing::PrintToString(row.bytes); }

const WalkRow WALKS[] = {
    {""s, {}},
    {"\0"s, {}},
    {"\0\\??\\C:\\a\0\0"s, {}},
    {"\\??\\C:\\a\0!\\??\\C:\\b\0\0"s, {{MOVE, 0, 19, "C:\\a", "C:\\b"}}},
    {"\\??\\C:\\a\0\0\\??\\C:\\b\0\\??\\C:\\c\0\0"s, {{DELETE, 0, 10, "C:\\a", ""}, {MOVE, 10, 28, "C:\\b", "C:\\c"}}},
    {"\\??\\C:\\a\0\0\0\\??\\C:\\b\0\0"s, {{DELETE, 0, 10, "C:\\a", ""}}},
    {"a\0!b\0\0junk"s, {{MOVE, 0, 5, "a", "b"}}},
    // Where the data ends early.
    {"\\??\\C:\\a"s, {{DELETE, 0, 8, "C:\\a", ""}}},
    {"\\??\\C:\\a\0"s, {{DELETE, 0, 9, "C:\\a", ""}}},
    {"\\??\\C:\\a\0\\??\\C:\\b"s, {{MOVE, 0, 17, "C:\\a", "C:\\b"}}},
    {"a\0!"s, {{MOVE, 0, 3, "a", ""}}},
    {"\\??"s, {{DELETE, 0, 3, "\\??", ""}}},
    {"\\"s, {{DELETE, 0, 1, "\\", ""}}},
    {"\\??\\"s, {{DELETE, 0, 4, "", ""}}},
    {"!"s, {{ORPHAN, 0, 1, "", ""}}},
    {"!\\??"s, {{ORPHAN, 0, 4, "\\??", ""}}},
    // Markers: one '!' then one prefix, in that order, on targets only.
    {"!\\??\\C:\\x\0\\??\\C:\\a\0\0\0"s, {{ORPHAN, 0, 10, "C:\\x", ""}, {DELETE, 10, 20, "C:\\a", ""}}},
    {"!\0a\0b\0"s, {{ORPHAN, 0, 2, "", ""}, {MOVE, 2, 6, "a", "b"}}},
    {"a\0!\\??\\\0"s, {{MOVE, 0, 8, "a", ""}}},
    {"a\0!!b\0\0"s, {{MOVE, 0, 6, "a", "!b"}}},
    {"a\0\\??\\!b\0\0"s, {{MOVE, 0, 9, "a", "!b"}}},
    {"a\0!\\??\\\\??\\b\0\0"s, {{MOVE, 0, 13, "a", "\\??\\b"}}},
    {"\\??\\\\??\\a\0\0"s, {{DELETE, 0, 11, "\\??\\a", ""}}},
    {"\\??a\0\\?\\b\0"s, {{MOVE, 0, 10, "\\??a", "\\?\\b"}}},
    {"a\0\0!b\0\0"s, {{DELETE, 0, 3, "a", ""}, {ORPHAN, 3, 6, "b", ""}}},
};

class Walk : public testing::TestWithParam<WalkRow> {};

TEST_P(Walk, FindsTheOperations) {
    ExactValue exact(GetParam().bytes);
    OperationCursor cursor = 0;
    Operation operation{};
    for (const Step& step : GetParam().steps) {
        ASSERT_TRUE(next_operation(exact.value(), &cursor, &operation)) << "at " << step.begin;
        EXPECT_EQ(operation.kind, step.kind) << "at " << step.begin;
        EXPECT_EQ(operation.begin, step.begin);
        EXPECT_EQ(operation.end, step.end);
        EXPECT_EQ(cursor, step.end);
        EXPECT_EQ(exact.name(operation.source), step.source);
        EXPECT_EQ(exact.name(operation.target), step.target);
    }
    Operation untouched = operation;
    OperationCursor at_end = cursor;
    EXPECT_FALSE(next_operation(exact.value(), &cursor, &operation));
    EXPECT_EQ(cursor, at_end);
    EXPECT_EQ(std::memcmp(&operation, &untouched, sizeof operation), 0);
}

// From every position of every value, whatever lies there: the results
// stay inside the data and the cursor only moves forward.
TEST_P(Walk, StaysInsideTheDataFromEveryPosition) {
    ExactValue exact(GetParam().bytes);
    const PendingValue& value = exact.value();
    for (OperationCursor at = 0; at <= value.size; ++at) {
        OperationCursor stripped = strip_nt_prefix(value, at);
        EXPECT_TRUE(stripped == at || stripped == at + 4) << at;
        EXPECT_LE(stripped, value.size) << at;
        OperationCursor next = next_string(value, at);
        EXPECT_TRUE(next > at || at == value.size) << at;
        EXPECT_LE(next, value.size) << at;

        OperationCursor cursor = at;
        Operation operation{};
        if (!next_operation(value, &cursor, &operation)) continue;
        EXPECT_EQ(operation.begin, at);
        EXPECT_GT(operation.end, at);
        EXPECT_EQ(cursor, operation.end);
        EXPECT_LE(operation.end, value.size);
        EXPECT_LE(operation.source.start + operation.source.length, operation.end);
        EXPECT_LE(operation.target.start + operation.target.length, operation.end);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, Walk, testing::ValuesIn(WALKS));

struct PositionRow {
    std::string bytes;
    OperationCursor cursor;
    OperationCursor stripped;  // strip_nt_prefix
    OperationCursor next;      // next_string
};

const PositionRow POSITIONS[] = {
    {""s, 0, 0, 0},
    {"\0"s, 0, 0, 1},
    {"\\??\\"s, 0, 4, 4},
    {"\\??\\a"s, 0, 4, 5},
    {"\\??\\a"s, 1, 1, 5},
    {"\\??\\a"s, 5, 5, 5},
    {"\\??"s, 0, 0, 3},
    {"\\??\0\\"s, 0, 0, 4},
    {"\\?\\?\\a\0"s, 0, 0, 7},
    {"x\0\\??\\a\0b"s, 2, 6, 8},
    {"ab\0c"s, 3, 3, 4},
};

TEST(Walk, PositionsWithinAString) {
    for (const PositionRow& row : POSITIONS) {
        ExactValue exact(row.bytes);
        EXPECT_EQ(strip_nt_prefix(exact.value(), row.cursor), row.stripped) << testing::PrintToString(row.bytes);
        EXPECT_EQ(next_string(exact.value(), row.cursor), row.next) << testing::PrintToString(row.bytes);
    }
}

struct NamesRow {
    const char* left;
    const char* right;
    bool match;
};

// Only A to Z fold: no other pair of bytes 32 apart, and nothing above 127.
const NamesRow NAMES[] = {
    {"C:\\Dir\\A.TXT", "c:\\dir\\a.txt", true},
    {"", "", true},
    {"a", "", false},
    {"ab", "a", false},
    {"a", "ab", false},
    {"[", "{", false},
    {"@", "`", false},
    {"^", "~", false},
    {"]", "}", false},
    {"\xE9", "\xC9", false},
    {"\xE9", "\xE9", true},
    {"z", "Z", true},
    {"%s", "%S", true},
};

TEST(NamesMatch, FoldsOnlyLettersAToZ) {
    for (const NamesRow& row : NAMES) {
        EXPECT_EQ(names_match(row.left, std::strlen(row.left), row.right, std::strlen(row.right)), row.match)
            << row.left << " / " << row.right;
    }
}

}  // namespace
