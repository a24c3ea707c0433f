// Recovery on bytes made here: a hive of three pages of 'a', 'b' and 'c',
// sequence numbers 8 and 7 unless a row says otherwise, and logs of entries
// that each write one letter over one page (in an old-format log, a sector).
#include "hive/hive_logs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using Bytes = std::vector<unsigned char>;
using Words = std::initializer_list<std::pair<std::size_t, std::size_t>>;
constexpr std::size_t PAGE = 4096, ENTRY = 4608;

struct Page {
    std::uint32_t sequence, page;
    char letter;
    std::uint32_t bins = 3;  // pages
};
struct Row {
    const char* name;
    std::uint32_t types[2];      // .LOG1's and .LOG2's: 6, 1, or 0 for none
    std::vector<Page> pages[2];  // a log's number is its first entry's
    HiveState state;
    std::uint32_t applied, highest;
    std::string after;   // the first letter of each sector of the hive bins
    std::size_t at = 0;  // a word of .LOG1 changed before (after) its hashes and checksum
    std::uint32_t word = 0;
    bool after_hash = false;
    std::uint32_t secondary = 7;
    std::uint32_t header = 0;  // .LOG1's header number, when not its first entry's
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

void put(Bytes* bytes, std::size_t from, Words words) {
    for (auto [at, word] : words) put_hive_word(bytes->data(), from + at, static_cast<std::uint32_t>(word));
}

Bytes make_log(const Row& row, int which) {
    std::uint32_t type = row.types[which];
    const std::vector<Page>& pages = row.pages[which];
    if (type == 0) return {};
    Bytes log(type == 6 ? 512 : 1024);
    std::uint32_t number = which == 0 && row.header != 0 ? row.header : pages[0].sequence;
    put(&log, 0, {{0, 0x66676572}, {4, number}, {8, number}, {12, 0x5EED}, {28, type}});
    put(&log, 0, {{40, pages[0].bins * PAGE}, {type == 1 ? 512u : 40u, type == 1 ? 0x54524944 : pages[0].bins * PAGE}});
    for (const Page& page : pages) {
        std::size_t at = log.size();
        if (type == 1) log[516 + page.page / 8] |= static_cast<unsigned char>(1 << page.page % 8);
        log.resize(at + (type == 1 ? 512 : ENTRY), static_cast<unsigned char>(page.letter));
        if (type == 6)
            put(&log, at,
                {{0, 0x454C7648}, {4, ENTRY}, {8, page.sequence}, {12, page.sequence}, {16, page.bins * PAGE}});
        if (type == 6) put(&log, at, {{20, 1}, {24, 0}, {28, 0}, {32, 0}, {36, 0}, {40, page.page * PAGE}, {44, PAGE}});
    }
    if (which == 0 && row.at != 0 && !row.after_hash) put(&log, row.at, {{0, row.word}});
    for (std::size_t at = 512; type == 6 && at < log.size(); at += ENTRY) {
        std::uint64_t hash_1 = marvin32(&log[at + 40], ENTRY - 40);
        put(&log, at, {{24, hash_1}, {28, hash_1 >> 32}});
        std::uint64_t hash_2 = marvin32(&log[at], 32);
        put(&log, at, {{32, hash_2}, {36, hash_2 >> 32}});
    }
    put(&log, 0, {{HIVE_CHECKSUM, base_block_checksum(log.data())}});
    if (which == 0 && row.at != 0 && row.after_hash) put(&log, row.at, {{0, row.word}});
    return log;
}

std::string whole(const char* pages) {
    std::string sectors;
    for (const char* page = pages; *page != '\0'; ++page) sectors.append(8, *page);
    return sectors;
}

const std::string ABC = whole("abc");
const HiveState RECOVERED = HiveState::recovered, NOT_RECOVERED = HiveState::not_recovered;
const Page X0{7, 0, 'X'}, Y1{8, 1, 'Y'}, Z0{9, 0, 'Z'}, LATE{10, 2, 'X'}, D3{8, 3, 'D', 4};
const std::vector<Page> OLD{{9, 8, 'X'}, {9, 19, 'Y'}};
const Row ROWS[] = {
    {"later_entries_in_log1", {6, 6}, {{LATE}, {X0, Y1, Z0}}, RECOVERED, 4, 10, whole("ZYX")},
    {"bad_hash_1_stops", {6, 6}, {{X0, Y1, Z0}, {LATE}}, RECOVERED, 1, 10, whole("Xbc"), 5120 + 24, 1, true},
    {"bad_hash_2_stops", {6, 0}, {{X0, Y1}}, RECOVERED, 1, 8, whole("Xbc"), 5120 + 36, 1, true},
    {"gap_between_logs", {6, 6}, {{LATE}, {X0, Y1}}, RECOVERED, 2, 10, whole("XYc")},
    // The other log goes on only when its header's number comes next, whatever its first entry says.
    {"second_log_header_not_next", {6, 6}, {{Z0}, {X0, Y1}}, RECOVERED, 2, 11, whole("XYc"), 0, 0, false, 7, 11},
    // The numbers of a log that fails its checks steer nothing.
    {"bad_log_numbers_ignored", {6, 0}, {{{20, 0, 'X'}}}, NOT_RECOVERED, 0, 8, ABC, 508, 1, true},
    {"first_log_gives_nothing", {6, 6}, {{X0}, {Y1}}, RECOVERED, 1, 9, whole("aYc"), 512 + 12, 9},
    {"log_older_than_the_file", {6, 0}, {{{5, 0, 'X'}, {6, 1, 'Y'}}}, NOT_RECOVERED, 0, 8, ABC},
    {"log_checksum_wrong", {6, 0}, {{X0}}, NOT_RECOVERED, 0, 8, ABC, 508, 1, true},
    {"log_written_halfway", {6, 0}, {{X0}}, NOT_RECOVERED, 0, 8, ABC, 8, 6},
    {"grows", {6, 0}, {{X0, D3}}, RECOVERED, 2, 8, whole("XbcD")},
    {"shrinks", {6, 0}, {{{7, 0, 'X', 2}}}, RECOVERED, 1, 8, whole("Xb")},
    {"clean_hive", {0, 6}, {{}, {{11, 0, 'X'}, {12, 0, 'X'}}}, HiveState::clean, 0, 12, ABC, 0, 0, false, 8},
    {"no_wrap_past_the_last_number",
     {6, 0},
     {{{0xFFFFFFFF, 0, 'X'}, {0, 1, 'Y'}}},
     RECOVERED,
     1,
     0xFFFFFFFF,
     whole("Xbc")},
    {"old_format", {0, 1}, {{}, OLD}, RECOVERED, 1, 9, "aaaaaaaaXbbbbbbbcccYcccc"},
    {"old_format_grows",
     {1, 0},
     {{{9, 24, 'D', 4}, {9, 31, 'D', 4}}},
     RECOVERED,
     1,
     9,
     ABC + std::string("D\0\0\0\0\0\0D", 8)},
    {"old_format_other_time_stamp", {1, 0}, {OLD}, NOT_RECOVERED, 0, 9, ABC, 12, 1},
    // Sizes, counts and offsets that do not fit, their hashes right.
    {"entry_past_the_log", {6, 0}, {{X0}}, NOT_RECOVERED, 0, 8, ABC, 512 + 4, 0xFFFFFE00},
    {"too_many_pages", {6, 0}, {{X0}}, NOT_RECOVERED, 0, 8, ABC, 512 + 20, 0xFFFFFFFF},
    {"page_past_the_hive", {6, 0}, {{X0}}, NOT_RECOVERED, 0, 8, ABC, 512 + 40, 0xFFFFF000},
    {"page_past_the_entry", {6, 0}, {{X0}}, NOT_RECOVERED, 0, 8, ABC, 512 + 44, 0x2000},
    {"bins_not_whole_pages", {6, 0}, {{X0}}, NOT_RECOVERED, 0, 8, ABC, 512 + 16, 0x3001},
    {"bins_over_2_gib", {6, 0}, {{X0}}, NOT_RECOVERED, 0, 8, ABC, 512 + 16, 0x80001000},
    {"old_format_vector_past_the_log", {1, 0}, {OLD}, NOT_RECOVERED, 0, 9, ABC, 40, 0x10000000},
    {"old_format_pages_past_the_log", {1, 0}, {OLD}, NOT_RECOVERED, 0, 9, ABC, 516, 0xFFFFFFFF},
};

class Recovery : public testing::TestWithParam<Row> {};

TEST_P(Recovery, AsWindowsLoadsTheHive) {
    const Row& row = GetParam();
    Bytes image(PAGE), logs[2] = {make_log(row, 0), make_log(row, 1)};
    put(&image, 0, {{0, 0x66676572}, {4, 8}, {8, row.secondary}, {12, 0x5EED}, {40, 3 * PAGE}});
    put(&image, 0, {{HIVE_CHECKSUM, base_block_checksum(image.data())}});
    for (char letter : ABC) image.insert(image.end(), 512, static_cast<unsigned char>(letter));
    Bytes before = image;
    const Bytes* given[2] = {&logs[0], &logs[1]};
    HiveRecovery got = recover_hive(&image, given);
    EXPECT_EQ(got.state, row.state);
    EXPECT_EQ(got.entries_applied, row.applied);
    EXPECT_EQ(got.highest_sequence, row.highest);
    std::string sectors;
    for (std::size_t at = PAGE; at < image.size(); at += 512) sectors += static_cast<char>(image[at]);
    EXPECT_EQ(sectors, row.after);
    EXPECT_TRUE(row.state == RECOVERED || image == before);
    EXPECT_EQ(hive_word(image.data(), HIVE_BINS_SIZE), image.size() - PAGE);
    EXPECT_EQ(hive_word(image.data(), HIVE_SEQUENCE_1) == hive_word(image.data(), HIVE_SEQUENCE_2),
              row.state != NOT_RECOVERED);
    EXPECT_EQ(hive_word(image.data(), HIVE_CHECKSUM), base_block_checksum(image.data()));
    // The flags of the last entry applied (here its number); an old-format log keeps the file's.
    bool old = row.types[0] == 1 || row.types[1] == 1;
    EXPECT_EQ(hive_word(image.data(), HIVE_FLAGS), row.state == RECOVERED && !old ? hive_word(image.data(), 4) : 0);
}

INSTANTIATE_TEST_SUITE_P(Logs, Recovery, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// Published vectors (the .NET runtime's tests): a seed's halves or the tail
// of the data taken the wrong way round gives other hashes.
TEST(Marvin32, PublishedVectors) {
    const std::pair<std::string, std::uint64_t> vectors[] = {{"", 0x30ED35C100CD3C7D},
                                                             {"\xaf", 0x48E73FC77D75DDC1},
                                                             {"\x37\xf4\x95", 0xF0B07C789B8CF7E8},
                                                             {"\xab\x42\x7e\xa8\xd1\x0f\xc7", 0xE11847E4F0678C41}};
    for (const auto& [data, hash] : vectors) {
        auto bytes = reinterpret_cast<const unsigned char*>(data.data());
        EXPECT_EQ(marvin32_with_seed(bytes, data.size(), 0x004FB61A001BDBCC), hash) << data.size();
    }
}

}  // namespace
