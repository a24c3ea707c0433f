// A value holding small, one-cell or big data gets each new size: read back by Windows' rules, every other byte
// compared. Damage leaves the image as it was.
#include "hive/hive_value_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

using Image = std::vector<unsigned char>;
constexpr std::uint32_t VK = 4096 + 32, OTHER = VK + 32, SEGMENT = 16344, IN_CELL = 1u << 31;

std::uint32_t word(const Image& image, std::size_t at) {
    std::uint32_t value = 0;  // little-endian, as the machines that run the tests
    std::memcpy(&value, &image[at], 4);
    return value;
}
void put(Image* image, std::size_t at, std::uint32_t value) { std::memcpy(&(*image)[at], &value, 4); }

// A base block and one bin: the root key ("nk") listing two values, P1 and P2 ("vk", no data yet), and one subkey S
// (an "lf" list); the keys' security cell ("sk"); a spare "li" list and a value P3 that nothing lists (whose data
// Windows cannot read: 5,000 bytes outside the hive); then free space. P2 gets 20,000 bytes.
constexpr std::uint32_t ROOT = 4096 + 0x60, VALUES = 4096 + 0xB8, SK = 4096 + 0xC8, LF = 4096 + 0xF8,
                        SUB = 4096 + 0x108, SPARE = 4096 + 0x160, P3 = 4096 + 0x170, FREE = 4096 + 0x190;
constexpr std::uint32_t cell(std::size_t at) { return static_cast<std::uint32_t>(at - 4096); }
Image hive(std::uint32_t minor, const Image& other) {
    Image image(8192);
    const std::uint32_t fields[][2] = {{0, 0x66676572},
                                       {24, minor},
                                       {36, cell(ROOT)},
                                       {40, 4096},
                                       {4096, 0x6E696268},
                                       {4104, 4096},
                                       {VK, -32u},
                                       {VK + 4, 0x26B76},
                                       {VK + 8, IN_CELL},
                                       {VK + 20, 1},
                                       {VK + 24, 0x3150},  // "vk", P1
                                       {OTHER, -32u},
                                       {OTHER + 4, 0x26B76},
                                       {OTHER + 8, IN_CELL},
                                       {OTHER + 20, 1},
                                       {OTHER + 24, 0x3250},
                                       {P3, -32u},
                                       {P3 + 4, 0x26B76},
                                       {P3 + 8, 5000},
                                       {P3 + 12, 0x7FFFFFF0},
                                       {P3 + 20, 1},
                                       {P3 + 24, 0x3350},
                                       {ROOT, -88u},
                                       {ROOT + 4, 0x2C6B6E},
                                       {ROOT + 24, 1},
                                       {ROOT + 32, cell(LF)},
                                       {ROOT + 40, 2},
                                       {ROOT + 44, cell(VALUES)},
                                       {ROOT + 48, cell(SK)},
                                       {ROOT + 52, ~0u},
                                       {ROOT + 76, 4},
                                       {ROOT + 80, 0x544F4F52},
                                       {SUB, -88u},
                                       {SUB + 4, 0x206B6E},
                                       {SUB + 32, ~0u},
                                       {SUB + 44, ~0u},
                                       {SUB + 48, cell(SK)},
                                       {SUB + 52, ~0u},
                                       {SUB + 76, 1},
                                       {SUB + 80, 'S'},
                                       {VALUES, -16u},
                                       {VALUES + 4, cell(VK)},
                                       {VALUES + 8, cell(OTHER)},
                                       {SK, -48u},
                                       {SK + 4, 0x6B73},
                                       {SK + 20, 20},
                                       {LF, -16u},
                                       {LF + 4, 0x1666C},
                                       {LF + 8, cell(SUB)},
                                       {LF + 12, 'S'},
                                       {SPARE, -16u},
                                       {SPARE + 4, 0x696C},
                                       {FREE, 8192 - FREE}};
    for (auto [at, value] : fields) put(&image, at, value);
    write_value_data(&image, OTHER, 3, other.data(), 20000);
    return image;
}

// The value's data, and its cells, whose sizes Windows and hivex read alike: a segment's cell holds its data and 4
// bytes more, a whole one's exactly (16,352 bytes).
Image read_value(const Image& image, std::size_t vk, std::vector<std::size_t>* cells) {
    std::uint32_t size = word(image, vk + 8), at = 4096 + word(image, vk + 12), count = (size + SEGMENT - 1) / SEGMENT;
    if (size >= IN_CELL) return Image(&image[vk + 12], &image[vk + 12] + (size - IN_CELL));
    cells->push_back(at);
    EXPECT_GE(0u - word(image, at), std::min(size, 12u) + 4);
    if (size <= SEGMENT || image[24] < 4) return Image(&image[at + 4], &image[at + 4] + size);
    EXPECT_EQ(word(image, at + 4), 0x6264 | count << 16);  // "db", the count
    Image data;
    for (std::size_t i = 0, list = 4096 + word(image, at + 8), length = 0; i < count; ++i) {
        cells->push_back(4096 + word(image, list + 4 + 4 * i));
        length = std::min(std::size_t{SEGMENT}, size - data.size());
        EXPECT_TRUE(length < SEGMENT ? 0u - word(image, cells->back()) >= length + 8
                                     : 0u - word(image, cells->back()) == 16352);
        data.insert(data.end(), &image[cells->back() + 4], &image[cells->back() + 4] + length);
    }
    cells->push_back(4096 + word(image, at + 8));
    return data;
}

// The used cells, bin by bin: offset and size.
std::map<std::size_t, std::size_t> used_cells(const Image& image) {
    std::map<std::size_t, std::size_t> used;
    for (std::size_t bin = 4096; bin < 4096 + word(image, 40); bin += word(image, bin + 8))
        for (std::size_t at = bin + 32, size = 8; at < bin + word(image, bin + 8); at += size) {
            size = word(image, at) < IN_CELL ? word(image, at) : 0u - word(image, at);
            if (word(image, at) >= IN_CELL) used[at] = size;
            if (size < 8) return {};
        }
    return used;
}

// Every used cell but the value's own data as it was, byte for byte; the base block, but for the bins' size and the
// checksum, which are right.
void expect_rest_kept(const Image& before, const std::vector<std::size_t>& old_cells, const Image& after,
                      const std::vector<std::size_t>& new_cells) {
    std::map<std::size_t, std::size_t> kept = used_cells(before), now = used_cells(after);
    for (std::size_t cell : old_cells) kept.erase(cell);
    for (std::size_t cell : new_cells) EXPECT_EQ(now.erase(cell), 1u) << cell;
    EXPECT_EQ(now, kept);
    for (auto [at, size] : kept) {
        std::size_t from = at == VK ? 24 : 0;  // the value's size, offset and type may change
        EXPECT_EQ(std::memcmp(&before[at + from], &after[at + from], size - from), 0) << at;
    }
    Image base(before.begin(), before.begin() + 4096);
    for (std::uint32_t at : {40u, 508u}) put(&base, at, word(after, at));
    EXPECT_TRUE(std::equal(base.begin(), base.end(), after.begin()));
    std::uint32_t sum = 0;  // with the checksum, the XOR of the first 128 words
    for (std::size_t at = 0; at < 512; at += 4) sum ^= word(after, at);
    EXPECT_EQ(std::vector<std::size_t>({sum, word(after, 40) + 4096u}), std::vector<std::size_t>({0, after.size()}));
}

TEST(HiveValueWriter, WritesAsWindowsReadsAndNothingElse) {
    Image other(20000), data(40001);
    for (std::size_t i = 0; i < data.size(); ++i) other[i % 20000] = data[i] = static_cast<unsigned char>(i % 251);
    for (std::uint32_t minor : {5u, 3u})
        for (std::uint32_t before : {3u, 100u, 40000u})
            for (std::uint32_t after : {0u, 4u, 5u, 16344u, 16345u, 40000u}) {
                SCOPED_TRACE(testing::Message() << "1." << minor << ": " << before << " bytes, then " << after);
                Image image = hive(minor, other), expected;
                std::vector<std::size_t> old_cells, new_cells, other_cells;
                write_value_data(&image, VK, 7, &data[1], before);
                ASSERT_EQ(read_value(expected = image, VK, &old_cells), Image(&data[1], &data[1] + before));
                ASSERT_EQ(write_value_data(&image, VK, 1, data.data(), after), ValueWrite::written);
                EXPECT_EQ(read_value(image, VK, &new_cells), Image(data.begin(), data.begin() + after));
                EXPECT_EQ(word(image, VK + 16), 1u);
                EXPECT_EQ(read_value(image, OTHER, &other_cells), other);
                expect_rest_kept(expected, old_cells, image, new_cells);
                // A value that shrinks and keeps its layout stays in its own cells.
                bool stays = after > 4 && after <= before && (before > SEGMENT) == (after > SEGMENT);
                for (std::size_t cell : new_cells)
                    EXPECT_TRUE(!stays || std::count(old_cells.begin(), old_cells.end(), cell) == 1) << cell;
            }
}

// 1,000 cancels on a value of 44 KB: each write reads back, the rest stays, and free cells are taken before a bin
// is added, so the hive grows by one bin at most (that of a whole segment).
TEST(HiveValueWriter, ShrinkingWritesReuseTheirCells) {
    Image data(44000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 % 253);
    for (std::uint32_t minor : {5u, 3u}) {
        Image image = hive(minor, Image(20000)), before;
        write_value_data(&image, VK, 7, data.data(), 44000);
        std::size_t start = image.size();
        for (std::uint32_t cancel = 1, size = 44000 - 44; cancel <= 1000; size = 44000 - 44 * ++cancel) {
            std::vector<std::size_t> old_cells, new_cells;
            read_value(before = image, VK, &old_cells);
            ASSERT_EQ(write_value_data(&image, VK, 7, &data[44000 - size], size), ValueWrite::written);
            ASSERT_EQ(read_value(image, VK, &new_cells), Image(&data[44000 - size], &data[44000]));
            expect_rest_kept(before, old_cells, image, new_cells);
        }
        EXPECT_LE(image.size() - start, 16384u) << minor;
    }
}

// Damage the check before a write finds, or too much data: P1 (in one cell) is written, each row changes words of
// the hive first. Cells shared by two values, a key listed twice, subkey lists that hold themselves or point outside
// the hive, sizes and names past their cells, big data that disagrees, values Windows cannot read in the key written
// (none elsewhere); the bins. Each refuses with the image as it was.
TEST(HiveValueWriter, RefusesDamageOrTooMuchLeavingTheImage) {
    using Kind = HiveDamageKind;
    using Part = HivePart;
    struct Row {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> words;
        Kind kind;
        Part part;
        const char16_t* text;
        std::uint32_t minor = 5, size = 5;  // the hive's version, before the words; the size written
    };
    Image data(40000);
    Image good[2] = {hive(5, Image(20000)), hive(3, Image(20000))};
    std::vector<std::size_t> cells, one;  // P2's db, two segments, list; P1's cell
    write_value_data(&good[0], VK, 7, data.data(), 100);
    write_value_data(&good[1], VK, 7, data.data(), 20000);
    read_value(good[0], OTHER, &cells);
    read_value(good[0], VK, &one);
    const std::vector<std::uint32_t> c(cells.begin(), cells.end());
    const std::uint32_t db = cell(c[0]), seg = cell(c[1]), list = c[3];
    const Row rows[] = {
        {{{OTHER + 8, 100}, {OTHER + 12, cell(one[0])}},
         Kind::shared,
         Part::value_data,
         u"the hive is damaged: the data of the value P2 of the root key shares a cell with the data of the value P1"},
        {{{VK + 8, 20000}, {VK + 12, db}}, Kind::shared, Part::value_data, nullptr},  // the same db
        {{{VK + 12, seg}}, Kind::shared, Part::value_data, nullptr},                  // a segment of P2
        {{{list + 8, seg}}, Kind::shared, Part::value_data, nullptr},                 // one segment listed twice
        {{{SUB + 24, 1}, {SUB + 32, cell(SPARE)}, {SPARE + 4, 0x1696C}, {SPARE + 8, cell(SUB)}},
         Kind::shared,
         Part::key,
         u"the hive is damaged: the key S\\S shares a cell with the key S"},
        {{{ROOT + 32, cell(SPARE)}, {SPARE + 4, 0x16972}, {SPARE + 8, cell(SPARE)}},
         Kind::list_itself,
         Part::subkey_list,
         nullptr},
        {{{ROOT + 32, cell(SPARE)},
          {SPARE + 4, 0x16972},
          {SPARE + 8, cell(LF)},
          {LF + 4, 0x16972},
          {LF + 8, cell(SPARE)}},
         Kind::list_loop,
         Part::subkey_list,
         nullptr},
        {{{ROOT + 32, 0x7FFFFFF0}},
         Kind::outside,
         Part::subkey_list,
         u"the hive is damaged: the subkey list of the root key points outside the hive bins"},
        {{{ROOT + 32, cell(LF) + 8}}, Kind::not_a_cell, Part::subkey_list, nullptr},
        {{{SK, 0}}, Kind::bad_cell_size, Part::bins, nullptr},
        {{{FREE, 0x2000}}, Kind::cell_past_bin, Part::bins, nullptr},
        {{{SUB + 76, 9}}, Kind::not_whole, Part::key, nullptr},  // the name past its cell
        {{{VK + 6, 9}}, Kind::not_whole, Part::value, nullptr},  // the same
        {{{SK + 4, 0x6B78}}, Kind::not_whole, Part::security, nullptr},
        {{{c[0] + 4, 0x36264}}, Kind::segment_count, Part::value_data, nullptr},
        {{{c[0] + 4, 0x26278}}, Kind::not_whole, Part::value_data, nullptr},  // no "db"
        {{{c[1], 16352}}, Kind::not_a_cell, Part::value_data, nullptr},       // a segment free
        {{{OTHER + 8, 5000}}, Kind::not_whole, Part::value_data, nullptr},    // in a cell of 16 bytes
        {{{VK + 8, IN_CELL + 5}}, Kind::not_whole, Part::value_data, nullptr},
        {{{24, 5}},
         Kind::one_cell_big,
         Part::value_data,
         u"Windows cannot read the value P1 of the root key: it holds more than 16,344 bytes in one cell, and from "
         u"hive format 1.4 on Windows reads so much as big data",
         3},
        {{{24, 3}}, Kind::big_data_old, Part::value_data, nullptr},
        {{{40, 0x3010}}, Kind::bins_size, Part::bins, nullptr},
        {{{4100, 4096}}, Kind::bad_bin, Part::bins, nullptr},
        {{{VALUES + 8, cell(P3)}}, Kind::not_listed, Part::value, nullptr, 5, 100},  // P2 written: in no list
        {{{SUB + 40, 1}, {SUB + 44, cell(SPARE)}, {SPARE + 4, cell(P3)}}, Kind::none, Part::none, nullptr},
        {{}, Kind::none, Part::none, nullptr, 5, 65536u * SEGMENT},
        {{}, Kind::none, Part::none, nullptr, 5, IN_CELL}};
    for (const Row& row : rows) {
        Image image = good[row.minor == 5 ? 0 : 1];
        for (auto [at, value] : row.words) put(&image, at, value);
        Image before = image;
        HiveDamage damage{};
        std::size_t value = row.kind == Kind::not_listed ? OTHER : VK;
        ValueWrite written = write_value_data(&image, value, 3, data.data(), row.size, &damage);
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        EXPECT_EQ(written, row.kind != Kind::none ? ValueWrite::damaged
                           : row.size > 40000     ? ValueWrite::too_large
                                                  : ValueWrite::written);
        EXPECT_EQ(std::vector<int>({int(damage.kind), int(damage.part)}),
                  std::vector<int>({int(row.kind), int(row.part)}));
        EXPECT_TRUE(row.text == nullptr || hive_damage_text(damage) == row.text);
        EXPECT_TRUE(written == ValueWrite::written || image == before);
    }
}

}  // namespace
