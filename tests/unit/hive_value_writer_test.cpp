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

// A base block, one bin: two value cells ("vk") with no data, then free space. The second value gets 20,000 bytes.
Image hive(std::uint32_t minor, const Image& other) {
    Image image(8192);
    const std::uint32_t fields[] = {0,     0x66676572, 24,        minor,  40,        4096,    4096,       0x6E696268,
                                    4104,  4096,       VK,        -32u,   VK + 4,    0x6B76,  VK + 8,     IN_CELL,
                                    OTHER, -32u,       OTHER + 4, 0x6B76, OTHER + 8, IN_CELL, OTHER + 32, 4000};
    for (std::size_t i = 0; i < std::size(fields); i += 2) put(&image, fields[i], fields[i + 1]);
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

// Damage to the vk (signature, size in the cell), the db (count, signature, a segment listed twice, a segment
// free), the bins (size, offset); too much data.
TEST(HiveValueWriter, RefusesDamageOrTooMuchLeavingTheImage) {
    Image good = hive(5, Image(20000)), data(40000);
    std::vector<std::size_t> c;  // db, three segments, list
    write_value_data(&good, VK, 7, data.data(), 40000);
    read_value(good, VK, &c);
    const std::size_t rows[] = {
        VK + 4,   0x6B78,  5,      VK + 8,   IN_CELL + 5, 5, c[0] + 4, 0x26264, 5,
        c[0] + 4, 0x36278, 5,      c[4] + 8, c[1] - 4096, 5, c[2],     16352,   5,
        40,       0x3000,  5,      4100,     4096,        5, 512,      0,       65536u * SEGMENT,
        512,      0,       IN_CELL};
    for (std::size_t i = 0; i < std::size(rows); i += 3) {
        Image image = good;
        put(&image, rows[i], static_cast<std::uint32_t>(rows[i + 1]));
        Image before = image;
        EXPECT_EQ(write_value_data(&image, VK, 3, data.data(), std::uint32_t(rows[i + 2])),
                  rows[i + 2] == 5 ? ValueWrite::damaged : ValueWrite::too_large);
        EXPECT_EQ(image, before) << rows[i];
    }
}

}  // namespace
