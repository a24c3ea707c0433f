#include "hive/hive_format.h"

std::uint32_t hive_word(const unsigned char* bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 | std::uint32_t(bytes[at + 2]) << 16 |
           std::uint32_t(bytes[at + 3]) << 24;
}

std::uint16_t hive_half(const unsigned char* bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

void put_hive_word(unsigned char* bytes, std::size_t at, std::uint32_t word) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(word >> (8 * i));
}

std::size_t hive_cell_size(const unsigned char* bytes, std::size_t at) {
    std::uint32_t raw = hive_word(bytes, at);
    return (raw & 0x80000000u) != 0 ? std::size_t{0u - raw} : std::size_t{raw};
}

std::uint32_t base_block_checksum(const unsigned char* base) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < HIVE_CHECKSUM; at += 4) sum ^= hive_word(base, at);
    if (sum == 0) return 1;
    if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
    return sum;
}

DataLayout data_layout(std::uint32_t minor, std::uint32_t size_field) {
    if ((size_field & DATA_IN_CELL) != 0) return DataLayout::in_cell;
    if (minor >= FIRST_BIG_DATA_MINOR && size_field > BIG_DATA_SEGMENT) return DataLayout::big_data;
    return DataLayout::one_cell;
}
