// The registry hive file format ("regf"), as Windows reads and writes it:
// the base block's fields, the hive bins and their cells, and how a value's
// data is laid out. Pure work on bytes: nothing here reads a file.
//
// A hive is a 4 KiB base block, then hive bins ("hbin", whole 4 KiB pages)
// of cells. Each cell begins with its size as a signed 32-bit word, negative
// while the cell is used; offsets between cells count from the first bin.
#pragma once

#include <cstddef>
#include <cstdint>

// The base block's fields.
constexpr std::size_t HIVE_BASE_BLOCK = 4096;
constexpr std::size_t HIVE_SEQUENCE_1 = 4;
constexpr std::size_t HIVE_SEQUENCE_2 = 8;
constexpr std::size_t HIVE_TIME_STAMP = 12;
constexpr std::size_t HIVE_MINOR_VERSION = 24;
constexpr std::size_t HIVE_FILE_TYPE = 28;
constexpr std::size_t HIVE_ROOT_CELL = 36;
constexpr std::size_t HIVE_BINS_SIZE = 40;
constexpr std::size_t HIVE_FLAGS = 144;
constexpr std::size_t HIVE_CHECKSUM = 508;

// Bins and cells.
constexpr std::size_t HIVE_PAGE = 4096;
constexpr std::size_t BIN_HEADER = 32;
constexpr std::size_t CELL_UNIT = 8;
// A cell offset has 31 bits (the top one marks volatile storage, which is
// never in a file), so no hive is larger than this.
constexpr std::size_t MAX_HIVE_BINS = 0x80000000u;
constexpr std::uint32_t NO_CELL = 0xFFFFFFFFu;

// The fields of the cells, counted from the cell's size word. A key ("nk"):
constexpr std::size_t NK_FLAGS = 6;
constexpr std::size_t NK_SUBKEY_COUNT = 24;
constexpr std::size_t NK_SUBKEY_LIST = 32;
constexpr std::size_t NK_VALUE_COUNT = 40;
constexpr std::size_t NK_VALUE_LIST = 44;
constexpr std::size_t NK_SECURITY = 48;
constexpr std::size_t NK_CLASS = 52;
constexpr std::size_t NK_NAME_LENGTH = 76;
constexpr std::size_t NK_CLASS_LENGTH = 78;
constexpr std::size_t NK_NAME = 80;
// The key's name is in one byte a character (Latin-1), not UTF-16.
constexpr std::uint16_t NK_COMPRESSED_NAME = 0x0020;
// A value ("vk"):
constexpr std::size_t VK_NAME_LENGTH = 6;
constexpr std::size_t VK_DATA_SIZE = 8;
constexpr std::size_t VK_DATA = 12;
constexpr std::size_t VK_TYPE = 16;
constexpr std::size_t VK_FLAGS = 20;
constexpr std::size_t VK_NAME = 24;
constexpr std::uint16_t VK_COMPRESSED_NAME = 0x0001;
// A subkey list: "lf" and "lh" hold 8 bytes an element (the offset, then a
// hint), "li" and "ri" 4 (an "ri" holds the offsets of other lists).
constexpr std::size_t LIST_COUNT = 6;
constexpr std::size_t LIST_ELEMENTS = 8;
// Big data ("db"): the segment count, then the offset of the segments' list.
constexpr std::size_t DB_COUNT = 6;
constexpr std::size_t DB_LIST = 8;

// A value's data size with this bit holds up to 4 bytes in the "vk" cell's
// data field itself.
constexpr std::uint32_t DATA_IN_CELL = 0x80000000u;
constexpr std::uint32_t DATA_IN_CELL_LIMIT = 4;
// From minor version 4 on, data of more than a segment is "big data": a
// "db" cell (the segment count, the list's offset), a list of segment
// offsets, and the segments. Windows decides by the size and the version,
// never by what the cells look like.
constexpr std::uint32_t FIRST_BIG_DATA_MINOR = 4;
constexpr std::uint32_t BIG_DATA_SEGMENT = 16344;
constexpr std::size_t MAX_BIG_DATA_SEGMENTS = 0xFFFF;  // the count is 16 bits

std::uint32_t hive_word(const unsigned char* bytes, std::size_t at);
std::uint16_t hive_half(const unsigned char* bytes, std::size_t at);
void put_hive_word(unsigned char* bytes, std::size_t at, std::uint32_t word);
// The size of the cell whose size word is at `at`, used (negative) or free.
std::size_t hive_cell_size(const unsigned char* bytes, std::size_t at);
// The XOR of the base block's first 127 words, as Windows computes it (never
// 0 or 0xFFFFFFFF).
std::uint32_t base_block_checksum(const unsigned char* base);

// How Windows reads a value's data, from the "vk" cell's size field and the
// hive's minor version.
enum class DataLayout {
    in_cell,   // up to 4 bytes in the data field
    one_cell,  // one data cell holding the whole size
    big_data,  // a db cell, its list, and the segments
};
DataLayout data_layout(std::uint32_t minor, std::uint32_t size_field);
// The data's size in bytes, without the in-cell bit.
inline std::uint32_t data_size(std::uint32_t size_field) { return size_field & ~DATA_IN_CELL; }
// How many segments big data of `size` bytes takes.
inline std::size_t segment_count(std::uint32_t size) {
    return (std::size_t{size} + BIG_DATA_SEGMENT - 1) / BIG_DATA_SEGMENT;
}
