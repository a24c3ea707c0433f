// Placeholder until the recovery lands: no log entry is applied yet.
#include "platform/hive/hive_logs.h"

std::uint32_t hive_word(const unsigned char* bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 | std::uint32_t(bytes[at + 2]) << 16 |
           std::uint32_t(bytes[at + 3]) << 24;
}

void put_hive_word(unsigned char* bytes, std::size_t at, std::uint32_t word) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(word >> (8 * i));
}

std::uint32_t base_block_checksum(const unsigned char* base) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < HIVE_CHECKSUM; at += 4) sum ^= hive_word(base, at);
    if (sum == 0) sum = 1;
    if (sum == 0xFFFFFFFF) sum = 0xFFFFFFFE;
    return sum;
}

std::uint64_t marvin32(const unsigned char*, std::size_t) { return 0; }

HiveRecovery recover_hive(std::vector<unsigned char>* image, const std::vector<unsigned char>* logs[2]) {
    const unsigned char* base = image->data();
    std::uint32_t first = hive_word(base, HIVE_SEQUENCE_1);
    std::uint32_t second = hive_word(base, HIVE_SEQUENCE_2);
    HiveRecovery recovery{first == second ? HiveState::clean : HiveState::not_recovered, 0,
                          first > second ? first : second};
    for (int i = 0; i < 2; ++i) {
        if (logs[i]->size() < HIVE_BASE_BLOCK) continue;
        for (std::size_t at : {HIVE_SEQUENCE_1, HIVE_SEQUENCE_2}) {
            std::uint32_t number = hive_word(logs[i]->data(), at);
            if (number > recovery.highest_sequence) recovery.highest_sequence = number;
        }
    }
    return recovery;
}
