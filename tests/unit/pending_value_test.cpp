// The walk over the value's units. Every buffer here is exactly `size` bytes
// from new[], so that a read past the data's end shows under AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pending/pending_value.h"

using namespace std::string_literals;

namespace {

// The value's units, and an odd last byte when asked, in a buffer of their
// exact size.
class ExactValue {
public:
    explicit ExactValue(const std::u16string& units, bool odd_byte = false)
        : size_(units.size() * 2 + (odd_byte ? 1 : 0)), buffer_(new char16_t[(size_ + 1) / 2]) {
        std::memcpy(buffer_.get(), units.data(), units.size() * 2);
        if (odd_byte) reinterpret_cast<unsigned char*>(buffer_.get())[size_ - 1] = 0;
        value_ = PendingValue{7, static_cast<std::uint32_t>(size_), buffer_.get()};
    }
    const PendingValue& value() const { return value_; }
    std::u16string name(StoredName stored) const { return std::u16string(buffer_.get() + stored.start, stored.length); }

private:
    std::size_t size_;
    std::unique_ptr<char16_t[]> buffer_;
    PendingValue value_;
};

struct Step {
    OperationKind kind;
    OperationCursor begin;
    OperationCursor end;
    std::u16string source;
    std::u16string target;
};

constexpr OperationKind MOVE = OperationKind::move;
constexpr OperationKind DELETE = OperationKind::delete_file;

struct WalkRow {
    std::u16string units;
    std::vector<Step> steps;
    bool odd_byte;
};

void PrintTo(const WalkRow& row, std::ostream* out) { *out << testing::PrintToString(row.units); }

const char16_t OMEGA = 0x03A9;
const char16_t LONE = 0xD800;

// Pairs by position: whatever string stands where a source begins is the
// source, and the string after it is its target.
const WalkRow WALKS[] = {
    {u""s, {}, false},
    {u"\0"s, {}, false},
    {u"\0\\??\\C:\\a\0\0"s, {}, false},
    {u"\\??\\C:\\a\0!\\??\\C:\\b\0\0"s, {{MOVE, 0, 19, u"C:\\a", u"C:\\b"}}, false},
    {u"\\??\\C:\\a\0\0\\??\\C:\\b\0\\??\\C:\\c\0\0"s,
     {{DELETE, 0, 10, u"C:\\a", u""}, {MOVE, 10, 28, u"C:\\b", u"C:\\c"}},
     false},
    {u"\\??\\C:\\a\0\0\0\\??\\C:\\b\0\0"s, {{DELETE, 0, 10, u"C:\\a", u""}}, false},
    {u"a\0!b\0\0junk"s, {{MOVE, 0, 5, u"a", u"b"}}, false},
    {u"a\0!"s + OMEGA + u"\0"s + LONE + u"\0\0"s,
     {{MOVE, 0, 5, u"a", std::u16string(1, OMEGA)}, {DELETE, 5, 8, std::u16string(1, LONE), u""}},
     false},
    // Where the data ends early, or in an odd byte.
    {u"\\??\\C:\\a"s, {{DELETE, 0, 8, u"C:\\a", u""}}, false},
    {u"\\??\\C:\\a\0"s, {{DELETE, 0, 9, u"C:\\a", u""}}, false},
    {u"\\??\\C:\\a\0\\??\\C:\\b"s, {{MOVE, 0, 17, u"C:\\a", u"C:\\b"}}, false},
    {u"a\0!b\0"s, {{MOVE, 0, 5, u"a", u"b"}}, true},
    {u"a"s, {{DELETE, 0, 1, u"a", u""}}, true},
    {u""s, {}, true},
    {u"\\??"s, {{DELETE, 0, 3, u"\\??", u""}}, false},
    {u"\\"s, {{DELETE, 0, 1, u"\\", u""}}, false},
    {u"\\??\\"s, {{DELETE, 0, 4, u"", u""}}, false},
    // A target without a name after its marker and prefix is a delete.
    {u"a\0!"s, {{DELETE, 0, 3, u"a", u""}}, false},
    {u"a\0!\\??\\\0"s, {{DELETE, 0, 8, u"a", u""}}, false},
    // A '!' where a source begins is part of the source's name.
    {u"!"s, {{DELETE, 0, 1, u"!", u""}}, false},
    {u"!\\??"s, {{DELETE, 0, 4, u"!\\??", u""}}, false},
    {u"!\\??\\C:\\x\0\\??\\C:\\a\0\0\0"s, {{MOVE, 0, 19, u"!\\??\\C:\\x", u"C:\\a"}}, false},
    {u"!\0a\0b\0"s, {{MOVE, 0, 4, u"!", u"a"}, {DELETE, 4, 6, u"b", u""}}, false},
    {u"a\0\0!b\0\0"s, {{DELETE, 0, 3, u"a", u""}, {DELETE, 3, 7, u"!b", u""}}, false},
    // Markers: one '!' then one prefix, in that order, on targets only.
    {u"a\0!!b\0\0"s, {{MOVE, 0, 6, u"a", u"!b"}}, false},
    {u"a\0\\??\\!b\0\0"s, {{MOVE, 0, 9, u"a", u"!b"}}, false},
    {u"a\0!\\??\\\\??\\b\0\0"s, {{MOVE, 0, 13, u"a", u"\\??\\b"}}, false},
    {u"\\??\\\\??\\a\0\0"s, {{DELETE, 0, 11, u"\\??\\a", u""}}, false},
    {u"\\??a\0\\?\\b\0"s, {{MOVE, 0, 10, u"\\??a", u"\\?\\b"}}, false},
    // Marks: '*' and digits, only where the prefix follows.
    {u"*1\\??\\a\0*1!\\??\\b\0\0"s, {{MOVE, 0, 17, u"a", u"b"}}, false},
    {u"*12\\??\\"s, {{DELETE, 0, 7, u"", u""}}, false},
    {u"a\0*1!\\??"s, {{MOVE, 0, 8, u"a", u"*1!\\??"}}, false},
};

class Walk : public testing::TestWithParam<WalkRow> {};

TEST_P(Walk, FindsTheOperations) {
    ExactValue exact(GetParam().units, GetParam().odd_byte);
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
    ExactValue exact(GetParam().units, GetParam().odd_byte);
    const PendingValue& value = exact.value();
    for (OperationCursor at = 0; at <= unit_count(value); ++at) {
        OperationCursor stripped = strip_nt_prefix(value, at);
        EXPECT_TRUE(stripped == at || stripped == at + 4) << at;
        EXPECT_LE(stripped, unit_count(value)) << at;
        OperationCursor next = next_string(value, at);
        EXPECT_TRUE(next > at || at == unit_count(value)) << at;
        EXPECT_LE(next, unit_count(value)) << at;

        OperationCursor cursor = at;
        Operation operation{};
        if (!next_operation(value, &cursor, &operation)) continue;
        EXPECT_EQ(operation.begin, at);
        EXPECT_GT(operation.end, at);
        EXPECT_EQ(cursor, operation.end);
        EXPECT_LE(operation.end, unit_count(value));
        EXPECT_LE(operation.source.start + operation.source.length, operation.end);
        EXPECT_LE(operation.target.start + operation.target.length, operation.end);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, Walk, testing::ValuesIn(WALKS));

struct PositionRow {
    std::u16string units;
    OperationCursor cursor;
    OperationCursor stripped;  // strip_nt_prefix
    OperationCursor next;      // next_string
};

const PositionRow POSITIONS[] = {
    {u""s, 0, 0, 0},
    {u"\0"s, 0, 0, 1},
    {u"\\??\\"s, 0, 4, 4},
    {u"\\??\\a"s, 0, 4, 5},
    {u"\\??\\a"s, 1, 1, 5},
    {u"\\??\\a"s, 5, 5, 5},
    {u"\\??"s, 0, 0, 3},
    {u"\\??\0\\"s, 0, 0, 4},
    {u"\\?\\?\\a\0"s, 0, 0, 7},
    {u"x\0\\??\\a\0b"s, 2, 6, 8},
    {u"ab\0c"s, 3, 3, 4},
    // The prefix is four exact units: no look-alike of '\' or '?' will do.
    {u"\uFF3C??\\a"s, 0, 0, 5},
    {u"\\\uFF1F?\\a"s, 0, 0, 5},
};

TEST(Walk, PositionsWithinAString) {
    for (const PositionRow& row : POSITIONS) {
        ExactValue exact(row.units);
        EXPECT_EQ(strip_nt_prefix(exact.value(), row.cursor), row.stripped) << testing::PrintToString(row.units);
        EXPECT_EQ(next_string(exact.value(), row.cursor), row.next) << testing::PrintToString(row.units);
    }
}

struct NamesRow {
    std::u16string left;
    std::u16string right;
    bool match;
};

// Only A to Z fold: no other pair of units 32 apart, nothing above 127, and
// no pair of units that differ only in a byte.
const NamesRow NAMES[] = {
    {u"C:\\Dir\\A.TXT", u"c:\\dir\\a.txt", true},
    {u"", u"", true},
    {u"a", u"", false},
    {u"ab", u"a", false},
    {u"a", u"ab", false},
    {u"[", u"{", false},
    {u"@", u"`", false},
    {u"^", u"~", false},
    {u"]", u"}", false},
    {u"\u00E9", u"\u00C9", false},
    {u"\u00E9", u"\u00E9", true},
    {u"\u03A9", u"\u03C9", false},
    {u"c:\\T\\\u03A9mega.TXT", u"C:\\t\\\u03A9mega.txt", true},
    {u"\u30A2", u"\u30C2", false},
    {u"\u0141", u"\u0161", false},
    {u"\u0041", u"\u0161", false},
    {u"?", u"a", false},
    {u"?", u"?", true},
    {std::u16string(1, LONE), std::u16string(1, LONE), true},
    {std::u16string(1, LONE), std::u16string(1, char16_t(0xD820)), false},
    {u"z", u"Z", true},
    {u"%s", u"%S", true},
};

TEST(NamesMatch, FoldsOnlyLettersAToZ) {
    for (const NamesRow& row : NAMES) {
        EXPECT_EQ(names_match(row.left.data(), row.left.size(), row.right.data(), row.right.size()), row.match)
            << testing::PrintToString(row.left) << " / " << testing::PrintToString(row.right);
    }
}

}  // namespace
