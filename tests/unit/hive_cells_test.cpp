// The reader on bytes made here: a root key whose subkey list (of the row's
// kind) holds one key with the row's name, which holds a value of the row's
// size and layout. Each row says what a lookup finds, or the fault.
#include "hive/hive_cells.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::uint32_t ROOT = 0x20, LIST = 0x100, INNER = 0x180, KEY = 0x200, VALUES = 0x300, VALUE = 0x320,
                        DATA = 0x400, SEGMENTS = 0x480;

struct Row {
    const char* name;
    std::u16string stored;  // the key's name; ASCII is stored in one byte a character
    const char* list;       // "lf", "lh", "li", "ri" (holding an lf), "rr" (an ri holding an ri), "out"
    std::u16string wanted;
    std::uint32_t size;  // of the value's data; the in-cell bit where it is small
    const char* layout;  // "cell", "db", "bad count", "" (in the value's cell)
    std::uint32_t minor;
    HiveFault key_fault, data_fault;
    bool found = true;
    std::uint32_t cell_size = 0;  // of the key's cell, when not its own (1: a size word of 0)
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

void put(Bytes* image, std::size_t at, std::uint32_t word) { put_hive_word(image->data(), 4096 + at, word); }
void cell(Bytes* image, std::uint32_t at, std::uint32_t size) { put(image, at, 0u - size); }

Bytes make(const Row& row) {
    Bytes image(4096 + 0x10000);
    std::memcpy(image.data(), "regf", 4);
    put_hive_word(image.data(), HIVE_BINS_SIZE, 0x10000);
    // The root and its list.
    cell(&image, ROOT, 0x80);
    std::memcpy(&image[4096 + ROOT + 4], "nk", 2);
    put(&image, ROOT + NK_SUBKEY_COUNT, 1);
    put(&image, ROOT + NK_SUBKEY_LIST, std::string(row.list) == "out" ? 0x7FFFFFF0 : LIST);
    bool index = row.list[0] == 'r';
    cell(&image, LIST, 0x10);
    std::memcpy(&image[4096 + LIST + 4], index ? "ri" : row.list, 2);
    image[4096 + LIST + 6] = 1;
    put(&image, LIST + 8, index ? INNER : KEY);
    cell(&image, INNER, 0x10);
    std::memcpy(&image[4096 + INNER + 4], row.list[1] == 'r' ? "ri" : "lf", 2);
    image[4096 + INNER + 6] = 1;
    put(&image, INNER + 8, row.list[1] == 'r' ? INNER : KEY);
    // The key, its value list and its value.
    bool ascii = true;
    for (char16_t unit : row.stored) ascii = ascii && unit < 0x80;
    std::size_t length = ascii ? row.stored.size() : 2 * row.stored.size();
    cell(&image, KEY, row.cell_size == 0 ? 0x80 : row.cell_size == 1 ? 0 : row.cell_size);
    std::memcpy(&image[4096 + KEY + 4], "nk", 2);
    image[4096 + KEY + NK_FLAGS] = ascii ? NK_COMPRESSED_NAME : 0;
    put(&image, KEY + NK_VALUE_COUNT, 1);
    put(&image, KEY + NK_VALUE_LIST, VALUES);
    image[4096 + KEY + NK_NAME_LENGTH] = static_cast<unsigned char>(length);
    for (std::size_t i = 0; i < row.stored.size(); ++i) {
        std::size_t at = 4096 + KEY + NK_NAME + (ascii ? i : 2 * i);
        image[at] = static_cast<unsigned char>(row.stored[i]);
        if (!ascii) image[at + 1] = static_cast<unsigned char>(row.stored[i] >> 8);
    }
    cell(&image, VALUES, 8);
    put(&image, VALUES + 4, VALUE);
    cell(&image, VALUE, 0x20);
    std::memcpy(&image[4096 + VALUE + 4], "vk", 2);
    put(&image, VALUE + VK_DATA_SIZE, row.size);
    put(&image, VALUE + VK_DATA, std::string(row.layout).empty() ? 0x64636261 : DATA);
    std::string layout = row.layout;
    std::uint32_t count = static_cast<std::uint32_t>(segment_count(row.size)) + (layout == "bad count" ? 1 : 0);
    cell(&image, DATA, layout == "cell" ? (row.size + 11) / 8 * 8 : 0x10);
    if (layout != "cell") {
        std::memcpy(&image[4096 + DATA + 4], "db", 2);
        image[4096 + DATA + 6] = static_cast<unsigned char>(count);
        put(&image, DATA + 8, SEGMENTS);
        cell(&image, SEGMENTS, 0x10);
        for (std::uint32_t i = 0; i < 2; ++i) {
            put(&image, SEGMENTS + 4 + 4 * i, 0x1000 + 0x4000 * i);
            cell(&image, 0x1000 + 0x4000 * i, 0x3FE0);
        }
    }
    return image;
}

bool read_memory(void* context, std::uint64_t offset, unsigned char* out, std::size_t length) {
    const Bytes& image = *static_cast<const Bytes*>(context);
    if (offset + length > image.size()) return false;
    std::memcpy(out, image.data() + offset, length);
    return true;
}

const HiveFault NONE = HiveFault::none, DATA_FAULT = HiveFault::value_data;
const Row ROWS[] = {
    {"ascii_any_case", u"Select", "lf", u"sELECT", 0x80000004, "", 5, NONE, NONE},
    {"utf16_simple_upper_case", u"\u03a9mega\u0131", "lh", u"\u03c9MEGAI", 3, "cell", 5, NONE, NONE},
    {"sharp_s_is_not_ss", u"Stra\u00dfe", "li", u"STRASSE", 3, "cell", 5, NONE, NONE, false},
    {"lists_of_lists", u"Control", "ri", u"CONTROL", 20000, "db", 5, NONE, NONE},
    {"list_of_lists_of_lists", u"Control", "rr", u"Control", 3, "cell", 5, HiveFault::subkey_list, NONE},
    {"list_outside_the_hive", u"Control", "out", u"Control", 3, "cell", 5, HiveFault::subkey_list, NONE},
    {"name_past_its_cell", u"Session Manager", "lf", u"Session Manager", 3, "cell", 5, HiveFault::key, NONE, true,
     0x58},
    {"cell_size_0", u"Control", "lf", u"Control", 3, "cell", 5, HiveFault::key, NONE, true, 1},
    // Windows decides the layout by the size and the version, never by the cells.
    {"one_cell_over_a_segment", u"C", "lf", u"C", 16345, "cell", 5, NONE, DATA_FAULT},
    {"one_cell_over_a_segment_before_1_4", u"C", "lf", u"C", 16345, "cell", 3, NONE, NONE},
    {"big_data_before_1_4", u"C", "lf", u"C", 20000, "db", 3, NONE, DATA_FAULT},
    {"big_data_count_wrong", u"C", "lf", u"C", 20000, "bad count", 5, NONE, DATA_FAULT},
    {"in_cell_over_4_bytes", u"C", "lf", u"C", 0x80000005, "", 5, NONE, DATA_FAULT},
};

class Reader : public testing::TestWithParam<Row> {};

TEST_P(Reader, FindsAsWindowsReads) {
    const Row& row = GetParam();
    Bytes image = make(row);
    HiveCells cells{&image,
                    [](void* context, std::uint32_t offset, CellBody* body) {
                        return read_cell_from(HiveBytes{context, read_memory, 0x10000}, offset, body);
                    },
                    row.minor};
    CellBody root, key, value;
    ASSERT_EQ(read_key(cells, ROOT, &root), NONE);
    std::uint32_t found = 0;
    EXPECT_EQ(find_subkey(cells, root, row.wanted.data(), row.wanted.size(), &found), row.key_fault);
    if (row.key_fault != NONE) return;
    ASSERT_EQ(found, row.found ? KEY : NO_CELL);
    if (!row.found) return;
    ASSERT_EQ(read_key(cells, found, &key), NONE);
    ASSERT_EQ(find_value(cells, key, u"", 0, &found, &value), NONE);
    std::vector<unsigned char> data;
    EXPECT_EQ(read_value_data(cells, value, &data), row.data_fault);
    EXPECT_EQ(data.size(), row.data_fault == NONE ? data_size(row.size) : 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, Reader, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
