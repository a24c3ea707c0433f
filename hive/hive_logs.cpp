#include "hive/hive_logs.h"

#include <algorithm>
#include <cstring>

namespace {

// A log's base block is the first sector of the hive's, with its own file
// type; the entries (or the dirty vector) follow, sector by sector.
constexpr std::size_t LOG_SECTOR = 512;
constexpr std::uint32_t NEW_LOG = 6;
constexpr std::uint32_t OLD_LOG = 1;
constexpr std::size_t ENTRY_HEADER = 40;  // an HvLE entry's fields, up to its first page reference
constexpr std::size_t ENTRY_SIZE = 4;
constexpr std::size_t ENTRY_FLAGS = 8;
constexpr std::size_t ENTRY_SEQUENCE = 12;
constexpr std::size_t ENTRY_BINS_SIZE = 16;
constexpr std::size_t ENTRY_PAGES = 20;
constexpr std::size_t ENTRY_HASH_1 = 24;
constexpr std::size_t ENTRY_HASH_2 = 32;
constexpr std::size_t DIRTY_VECTOR = 512 + 4;  // after "DIRT"
// Windows keeps a hive under 2 GiB; a log that says more is hostile, and
// would have the image grow without bound.
constexpr std::uint32_t MAX_BINS_SIZE = 0x80000000u;
constexpr std::uint64_t LOG_SEED = 0x82EF4D887A4E55C5u;

std::uint64_t hive_quad(const unsigned char* bytes, std::size_t at) {
    return std::uint64_t(hive_word(bytes, at)) | std::uint64_t(hive_word(bytes, at + 4)) << 32;
}

std::uint32_t rotate(std::uint32_t word, int bits) { return word << bits | word >> (32 - bits); }

struct MarvinState {
    std::uint32_t lo;
    std::uint32_t hi;
};

void mix(MarvinState* state, std::uint32_t word) {
    state->lo += word;
    state->hi ^= state->lo;
    state->lo = rotate(state->lo, 20) + state->hi;
    state->hi = rotate(state->hi, 9) ^ state->lo;
    state->lo = rotate(state->lo, 27) + state->hi;
    state->hi = rotate(state->hi, 19);
}

std::uint32_t larger(std::uint32_t a, std::uint32_t b) { return a > b ? a : b; }

bool hive_bins_size_sound(std::uint32_t size) { return size != 0 && size % HIVE_PAGE == 0 && size <= MAX_BINS_SIZE; }

// A log Windows would use: a whole sector of base block with the right
// signature, file type and checksum, and both sequence numbers equal (the
// log was written out to its end).
bool log_valid(const HiveLog& log, std::uint32_t type) {
    if (log.size() < LOG_SECTOR || std::memcmp(log.data(), "regf", 4) != 0) return false;
    const unsigned char* base = log.data();
    return hive_word(base, HIVE_FILE_TYPE) == type && base_block_checksum(base) == hive_word(base, HIVE_CHECKSUM) &&
           hive_word(base, HIVE_SEQUENCE_1) == hive_word(base, HIVE_SEQUENCE_2);
}

// The size of the HvLE entry at `at`, when its header is in the log and its
// size keeps it there and leaves the next entry on a sector boundary; 0 when
// there is no such entry.
std::uint32_t entry_size(const HiveLog& log, std::size_t at) {
    if (at > log.size() || log.size() - at < ENTRY_HEADER) return 0;
    const unsigned char* entry = log.data() + at;
    std::uint32_t size = hive_word(entry, ENTRY_SIZE);
    if (std::memcmp(entry, "HvLE", 4) != 0 || size % LOG_SECTOR != 0 || size > log.size() - at) return 0;
    return size;
}

// Windows' checks of an entry: both hashes, and a hive-bins size that is
// whole pages; then ours, for any log: the page references and the pages
// within the entry, every page within the hive-bins size.
bool entry_sound(const unsigned char* entry, std::uint32_t size) {
    std::uint32_t bins = hive_word(entry, ENTRY_BINS_SIZE);
    if (!hive_bins_size_sound(bins)) return false;
    if (hive_quad(entry, ENTRY_HASH_1) != marvin32(entry + ENTRY_HEADER, size - ENTRY_HEADER)) return false;
    if (hive_quad(entry, ENTRY_HASH_2) != marvin32(entry, ENTRY_HASH_2)) return false;
    std::uint64_t pages = hive_word(entry, ENTRY_PAGES);
    std::uint64_t end = ENTRY_HEADER + 8 * pages;
    for (std::uint64_t i = 0; i < pages && end <= size; ++i) {
        std::size_t reference = ENTRY_HEADER + static_cast<std::size_t>(8 * i);
        std::uint64_t offset = hive_word(entry, reference);
        std::uint64_t length = hive_word(entry, reference + 4);
        if (offset + length > bins) return false;
        end += length;
    }
    return end <= size;
}

// Only after every check passed, so that an entry is applied whole or not
// at all.
bool apply_entry(const HiveTarget& target, const unsigned char* entry) {
    if (!target.resize(target.context, HIVE_BASE_BLOCK + hive_word(entry, ENTRY_BINS_SIZE))) return false;
    std::size_t pages = hive_word(entry, ENTRY_PAGES);
    std::size_t from = ENTRY_HEADER + 8 * pages;
    for (std::size_t i = 0; i < pages; ++i) {
        std::size_t offset = hive_word(entry, ENTRY_HEADER + 8 * i);
        std::size_t length = hive_word(entry, ENTRY_HEADER + 8 * i + 4);
        if (!target.write(target.context, HIVE_BASE_BLOCK + offset, entry + from, length)) return false;
        from += length;
    }
    return true;
}

// An entry of a new-format log, checked once: its place, its number, and
// whether it passes every check.
struct Entry {
    std::size_t at;
    std::uint32_t size;
    std::uint32_t sequence;
    bool sound;
};

// The chain of entries from the log's first sector on, while each header is
// in the log. Only a log Windows would use has any.
std::vector<Entry> scan_log(const HiveLog& log) {
    std::vector<Entry> entries;
    if (!log_valid(log, NEW_LOG)) return entries;
    std::size_t at = LOG_SECTOR;
    for (std::uint32_t size = entry_size(log, at); size != 0; at += size, size = entry_size(log, at)) {
        const unsigned char* entry = log.data() + at;
        entries.push_back({at, size, hive_word(entry, ENTRY_SEQUENCE), entry_sound(entry, size)});
    }
    return entries;
}

struct Replay {
    std::uint64_t expected;  // the sequence number the next entry must carry (64 bits: no wrap past 0xFFFFFFFF)
    std::uint32_t applied;
    std::uint32_t bins_size;  // of the last entry applied
    std::uint32_t flags;      // the base block's flags, as the last entry applied keeps them
    bool failed;              // the target refused a call
};

// Applies the log's entries from its first on, while each carries the
// number expected and passes the checks; the first that does not ends it.
void replay_log(const HiveTarget& target, const HiveLog& log, const std::vector<Entry>& entries, Replay* replay) {
    for (const Entry& checked : entries) {
        const unsigned char* entry = log.data() + checked.at;
        if (checked.sequence != replay->expected || !checked.sound) return;
        if (!apply_entry(target, entry)) {
            replay->failed = true;
            return;
        }
        replay->bins_size = hive_word(entry, ENTRY_BINS_SIZE);
        replay->flags = hive_word(entry, ENTRY_FLAGS);
        replay->applied += 1;
        replay->expected += 1;
    }
}

// The new format: the log whose entries come first, then the other one if
// its header's number is the next one, as Windows reads them. A log starts
// from its header's number, which may not be below the file's secondary
// number (its entries are already in the file).
Replay replay_new_logs(const unsigned char* base, const HiveTarget& target, const HiveLog logs[2],
                       const std::vector<Entry> entries[2]) {
    std::uint32_t secondary = hive_word(base, HIVE_SEQUENCE_2);
    std::uint32_t numbers[2] = {};
    bool usable[2] = {};
    for (int i = 0; i < 2; ++i) {
        usable[i] = log_valid(logs[i], NEW_LOG);
        numbers[i] = usable[i] ? hive_word(logs[i].data(), HIVE_SEQUENCE_1) : 0;
        usable[i] = usable[i] && numbers[i] >= secondary;
    }
    Replay replay{0, 0, 0, 0, false};
    int first = usable[0] && usable[1] ? (numbers[1] < numbers[0] ? 1 : 0) : usable[1] ? 1 : 0;
    if (!usable[first]) return replay;
    replay.expected = numbers[first];
    replay_log(target, logs[first], entries[first], &replay);
    int second = 1 - first;
    if (!usable[second] || replay.failed) return replay;
    if (replay.applied == 0) {
        replay.expected = numbers[second];
    } else if (numbers[second] != replay.expected) {
        return replay;
    }
    replay_log(target, logs[second], entries[second], &replay);
    return replay;
}

// The old format: the dirty vector of a log whose time stamp is the file's,
// one bit per sector of the hive bins, and the dirty sectors packed after
// it from the next sector boundary on. The whole log is checked before any
// sector is written. Returns the log's hive-bins size, or 0.
std::uint32_t replay_old_log(const unsigned char* primary, const HiveTarget& target, const HiveLog& log, bool* failed) {
    const unsigned char* base = log.data();
    if (!log_valid(log, OLD_LOG) || std::memcmp(base + HIVE_TIME_STAMP, primary + HIVE_TIME_STAMP, 8) != 0) return 0;
    std::uint32_t bins = hive_word(base, HIVE_BINS_SIZE);
    std::size_t vector_bytes = bins / LOG_SECTOR / 8;
    if (!hive_bins_size_sound(bins) || log.size() < DIRTY_VECTOR + vector_bytes ||
        std::memcmp(base + LOG_SECTOR, "DIRT", 4) != 0)
        return 0;
    std::size_t first_page = (DIRTY_VECTOR + vector_bytes + LOG_SECTOR - 1) / LOG_SECTOR * LOG_SECTOR;
    std::size_t dirty = 0;
    for (std::size_t i = 0; i < vector_bytes; ++i) {
        for (unsigned char bits = base[DIRTY_VECTOR + i]; bits != 0;
             bits = static_cast<unsigned char>(bits & (bits - 1)))
            ++dirty;
    }
    if (log.size() < first_page || (log.size() - first_page) / LOG_SECTOR < dirty) return 0;
    *failed = !target.resize(target.context, HIVE_BASE_BLOCK + bins);
    const unsigned char* page = base + first_page;
    for (std::size_t bit = 0; bit < vector_bytes * 8 && !*failed; ++bit) {
        if ((base[DIRTY_VECTOR + bit / 8] >> (bit % 8) & 1) == 0) continue;
        *failed = !target.write(target.context, HIVE_BASE_BLOCK + LOG_SECTOR * bit, page, LOG_SECTOR);
        page += LOG_SECTOR;
    }
    return bins;
}

// Every number a log Windows would use carries, applied or not: its
// header's two and, in the new format, every sound entry's. A log or an
// entry that fails its checks was never written whole, so its numbers say
// nothing.
std::uint32_t highest_in_log(const HiveLog& log, const std::vector<Entry>& entries) {
    if (!log_valid(log, NEW_LOG) && !log_valid(log, OLD_LOG)) return 0;
    std::uint32_t highest = larger(hive_word(log.data(), HIVE_SEQUENCE_1), hive_word(log.data(), HIVE_SEQUENCE_2));
    for (const Entry& entry : entries) highest = entry.sound ? larger(highest, entry.sequence) : highest;
    return highest;
}

}  // namespace

// The state starts as the seed's low half and high half, and the hash is
// the final high half above the low one: the seed the logs use only gives
// the hashes Windows writes when read so.
std::uint64_t marvin32_with_seed(const unsigned char* bytes, std::size_t size, std::uint64_t seed) {
    MarvinState state{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)};
    std::size_t at = 0;
    // Whole words loaded as they lie: the words are little-endian, as the
    // machines bootmove runs on are (the byte-wise reading elsewhere).
    for (; size - at >= 4; at += 4) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::uint32_t word;
        std::memcpy(&word, bytes + at, 4);
        mix(&state, word);
#else
        mix(&state, hive_word(bytes, at));
#endif
    }
    std::uint32_t last = 0x80;
    for (std::size_t i = size; i > at; --i) last = last << 8 | bytes[i - 1];
    mix(&state, last);
    mix(&state, 0);
    return std::uint64_t(state.hi) << 32 | state.lo;
}

std::uint64_t marvin32(const unsigned char* bytes, std::size_t size) {
    return marvin32_with_seed(bytes, size, LOG_SEED);
}

HiveRecovery recover_hive(unsigned char* base, const HiveTarget& target, const HiveLog logs[2], bool* failed) {
    HiveRecovery recovery{HiveState::clean, 0, 0};
    *failed = false;
    std::uint32_t primary = hive_word(base, HIVE_SEQUENCE_1);
    std::uint32_t secondary = hive_word(base, HIVE_SEQUENCE_2);
    const std::vector<Entry> entries[2] = {scan_log(logs[0]), scan_log(logs[1])};
    recovery.highest_sequence = larger(
        larger(primary, secondary), larger(highest_in_log(logs[0], entries[0]), highest_in_log(logs[1], entries[1])));
    if (primary == secondary) return recovery;
    recovery.state = HiveState::not_recovered;
    // Logs of the old format are read only when the new ones gave nothing:
    // a hive upgraded in place may have logs of either kind beside it.
    Replay replay = replay_new_logs(base, target, logs, entries);
    // Both numbers become the last entry's, or the old-format log's.
    std::uint32_t sequence = static_cast<std::uint32_t>(replay.expected - 1);
    std::uint32_t flags = replay.flags;
    for (int i = 0; i < 2 && replay.applied == 0 && !replay.failed; ++i) {
        replay.bins_size = replay_old_log(base, target, logs[i], &replay.failed);
        if (replay.bins_size == 0) continue;
        replay.applied = 1;
        sequence = hive_word(logs[i].data(), HIVE_SEQUENCE_1);
        flags = hive_word(base, HIVE_FLAGS);
    }
    *failed = replay.failed;
    if (replay.applied == 0 || replay.failed) return recovery;
    // As Windows leaves the hive in memory once the log is applied.
    put_hive_word(base, HIVE_BINS_SIZE, replay.bins_size);
    put_hive_word(base, HIVE_SEQUENCE_1, sequence);
    put_hive_word(base, HIVE_SEQUENCE_2, sequence);
    put_hive_word(base, HIVE_FLAGS, flags);
    put_hive_word(base, HIVE_CHECKSUM, base_block_checksum(base));
    *failed = !target.write(target.context, 0, base, HIVE_BASE_BLOCK);
    recovery.state = HiveState::recovered;
    recovery.entries_applied = replay.applied;
    return recovery;
}

namespace {

bool resize_vector(void* context, std::size_t size) {
    static_cast<std::vector<unsigned char>*>(context)->resize(size);
    return true;
}

bool write_vector(void* context, std::size_t offset, const unsigned char* bytes, std::size_t length) {
    std::memcpy(static_cast<std::vector<unsigned char>*>(context)->data() + offset, bytes, length);
    return true;
}

}  // namespace

HiveRecovery recover_hive(std::vector<unsigned char>* image, const std::vector<unsigned char>* logs[2]) {
    if (image->size() < HIVE_BASE_BLOCK) return HiveRecovery{HiveState::not_recovered, 0, 0};
    unsigned char base[HIVE_BASE_BLOCK];
    std::memcpy(base, image->data(), HIVE_BASE_BLOCK);
    bool failed = false;
    const HiveLog spans[2] = {{logs[0]->data(), logs[0]->size()}, {logs[1]->data(), logs[1]->size()}};
    return recover_hive(base, HiveTarget{image, resize_vector, write_vector}, spans, &failed);
}

namespace {

bool resize_overlay(void* context, std::size_t size) {
    HiveOverlay* overlay = static_cast<HiveOverlay*>(context);
    overlay->size = size;
    if (size >= overlay->zeros_from) return true;
    // What was cut is gone, whatever grows there again.
    overlay->zeros_from = size;
    auto& sectors = overlay->sectors;
    sectors.erase(
        std::remove_if(sectors.begin(), sectors.end(),
                       [size](const OverlaySector& entry) { return std::size_t{entry.sector} * LOG_SECTOR >= size; }),
        sectors.end());
    return true;
}

// Pages are written whole (512 bytes in an old-format log, 4 KiB in an
// entry), so a write is a run of whole sectors.
bool write_overlay(void* context, std::size_t offset, const unsigned char* bytes, std::size_t length) {
    HiveOverlay* overlay = static_cast<HiveOverlay*>(context);
    if (offset < HIVE_BASE_BLOCK) return true;
    for (std::size_t done = 0; done < length; done += LOG_SECTOR) {
        overlay->sectors.push_back(OverlaySector{static_cast<std::uint32_t>((offset + done) / LOG_SECTOR),
                                                 static_cast<std::uint32_t>(overlay->sectors.size()), bytes + done});
    }
    return true;
}

}  // namespace

HiveTarget overlay_target(HiveOverlay* overlay) { return HiveTarget{overlay, resize_overlay, write_overlay}; }

void finish_overlay(HiveOverlay* overlay) {
    auto& sectors = overlay->sectors;
    std::sort(sectors.begin(), sectors.end(), [](const OverlaySector& left, const OverlaySector& right) {
        return left.sector != right.sector ? left.sector < right.sector : left.order < right.order;
    });
    // Of the writes of one sector, the last one stands.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < sectors.size(); ++i) {
        if (i + 1 < sectors.size() && sectors[i + 1].sector == sectors[i].sector) continue;
        sectors[kept++] = sectors[i];
    }
    sectors.resize(kept);
}

const unsigned char* overlay_sector(const HiveOverlay& overlay, std::uint64_t offset) {
    std::uint32_t sector = static_cast<std::uint32_t>(offset / LOG_SECTOR);
    auto found =
        std::lower_bound(overlay.sectors.begin(), overlay.sectors.end(), sector,
                         [](const OverlaySector& entry, std::uint32_t wanted) { return entry.sector < wanted; });
    return found != overlay.sectors.end() && found->sector == sector ? found->bytes : nullptr;
}
