// Placeholder until the writer of big data lands: one data cell.
#include "platform/hive/hive_value_writer.h"

#include <cstring>

#include "platform/hive/hive_logs.h"

ValueWrite write_value_data(std::vector<unsigned char>* image, std::size_t vk, std::uint32_t type,
                            const unsigned char* data, std::uint32_t size) {
    std::vector<unsigned char>& bytes = *image;
    if (vk + 24 > bytes.size() || bytes[vk + 4] != 'v' || bytes[vk + 5] != 'k') return ValueWrite::damaged;
    if (hive_word(bytes.data(), HIVE_MINOR_VERSION) >= 4 && size > 16344) return ValueWrite::too_large;
    std::uint32_t old_size = hive_word(bytes.data(), vk + 8);
    std::uint32_t old_offset = hive_word(bytes.data(), vk + 12);
    std::size_t cell = (4 + std::size_t(size) + 7) / 8 * 8;
    std::size_t bin = (32 + cell + 4095) / 4096 * 4096;
    std::size_t at = bytes.size();
    std::size_t bins = at - HIVE_BASE_BLOCK;
    if (size > 4) {
        bytes.resize(at + bin);
        std::memcpy(&bytes[at], "hbin", 4);
        put_hive_word(bytes.data(), at + 4, static_cast<std::uint32_t>(bins));
        put_hive_word(bytes.data(), at + 8, static_cast<std::uint32_t>(bin));
        put_hive_word(bytes.data(), at + 32, static_cast<std::uint32_t>(-static_cast<std::int64_t>(cell)));
        std::memcpy(&bytes[at + 36], data, size);
        if (bin > 32 + cell) put_hive_word(bytes.data(), at + 32 + cell, static_cast<std::uint32_t>(bin - 32 - cell));
        put_hive_word(bytes.data(), vk + 12, static_cast<std::uint32_t>(bins + 32));
        put_hive_word(bytes.data(), vk + 8, size);
    } else {
        unsigned char inline_data[4] = {};
        std::memcpy(inline_data, data, size);
        std::memcpy(&bytes[vk + 12], inline_data, 4);
        put_hive_word(bytes.data(), vk + 8, size | 0x80000000u);
    }
    put_hive_word(bytes.data(), vk + 16, type);
    if ((old_size & 0x80000000u) == 0 && old_size > 0 && HIVE_BASE_BLOCK + std::size_t(old_offset) + 4 <= at) {
        std::size_t old = HIVE_BASE_BLOCK + old_offset;
        std::uint32_t length = hive_word(bytes.data(), old);
        put_hive_word(bytes.data(), old, static_cast<std::uint32_t>(-static_cast<std::int32_t>(length)));
    }
    put_hive_word(bytes.data(), HIVE_BINS_SIZE, static_cast<std::uint32_t>(bytes.size() - HIVE_BASE_BLOCK));
    put_hive_word(bytes.data(), HIVE_CHECKSUM, base_block_checksum(bytes.data()));
    return ValueWrite::written;
}
