// A value holding small, one-cell or big data gets each new size: read back by Windows' rules, every other byte
// compared. Damage leaves the image as it was.
#include "hive/hive_value_writer.h"

#include <gtest/gtest.h>

#include <cstring>

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

// The value's data, and its cells: a segment's cell holds its data and 4 bytes more (16,352 for a whole one).
Image read_value(const Image& image, std::size_t vk, std::vector<std::size_t>* cells) {
    std::uint32_t size = word(image, vk + 8), at = 4096 + word(image, vk + 12), count = (size + SEGMENT - 1) / SEGMENT;
    if (size >= IN_CELL) return Image(&image[vk + 12], &image[vk + 12] + (size - IN_CELL));
    cells->push_back(at);
    if (size <= SEGMENT || image[24] < 4) return Image(&image[at + 4], &image[at + 4] + size);
    EXPECT_EQ(word(image, at + 4), 0x6264 | count << 16);  // "db", the count
    Image data;
    for (std::size_t i = 0, list = 4096 + word(image, at + 8), length = 0; i < count; ++i) {
        cells->push_back(4096 + word(image, list + 4 + 4 * i));
        length = std::min(std::size_t{SEGMENT}, size - data.size());
        EXPECT_EQ(0u - word(image, cells->back()), (length + 15) / 8 * 8);
        data.insert(data.end(), &image[cells->back() + 4], &image[cells->back() + 4] + length);
    }
    cells->push_back(4096 + word(image, at + 8));
    return data;
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
                EXPECT_EQ(new_cells.empty(), after <= 4);
                EXPECT_EQ(read_value(image, OTHER, &other_cells), other);
                // The old cells now free; the value's size, offset and type, and the header, as they should be.
                for (std::size_t cell : old_cells) put(&expected, cell, 0u - word(expected, cell));
                for (std::uint32_t at : {VK + 8, VK + 12, 40u, 508u}) put(&expected, at, word(image, at));
                put(&expected, VK + 16, 1);
                EXPECT_TRUE(image.size() >= expected.size() &&
                            std::equal(expected.begin(), expected.end(), image.begin()));
                std::uint32_t sum = 0;  // with the checksum, the XOR of the first 128 words
                for (std::size_t at = 0; at < 512; at += 4) sum ^= word(image, at);
                EXPECT_EQ(std::vector<std::size_t>({sum, word(image, 40) + 4096u}),
                          std::vector<std::size_t>({0, image.size()}));
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
