// Recovering a hive as Windows does when it loads it: a hive that was not
// written out whole (its base block's two sequence numbers differ) gets the
// changes that wait in its transaction logs, FILE.LOG1 and FILE.LOG2. Both
// formats: entries of pages ("HvLE", Windows 8.1 and later, file type 6) and
// a bitmap of dirty pages ("DIRT", older Windows, file type 1). Pure work on
// bytes in memory: the caller reads the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "hive/hive_format.h"

// 64-bit Marvin32 of `size` bytes with the seed the logs use, and with any
// seed (the state starts as its low half and its high half).
std::uint64_t marvin32(const unsigned char* bytes, std::size_t size);
std::uint64_t marvin32_with_seed(const unsigned char* bytes, std::size_t size, std::uint64_t seed);

enum class HiveState {
    clean,          // the sequence numbers agree: the logs are not needed
    recovered,      // dirty, and at least one log entry was applied
    not_recovered,  // dirty, and no log (or no entry of one) applies
};

struct HiveRecovery {
    HiveState state;
    std::uint32_t entries_applied;  // HvLE entries, or 1 for an old-format log
    // The highest sequence number anywhere: the primary's two, and each
    // sound log's header numbers and every sound HvLE entry's, applied or
    // not. A hive written out whole takes a number above it, so that no log
    // can apply to it.
    std::uint32_t highest_sequence;
};

// Where the recovered hive is kept (a vector, a file): the calls make it
// `size` bytes long (cut, or grown with zeros) and write bytes into it. Each
// gives false when it could not; the recovery then stops where it is.
struct HiveTarget {
    void* context;
    bool (*resize)(void* context, std::size_t size);
    bool (*write)(void* context, std::size_t offset, const unsigned char* bytes, std::size_t length);
};

// A log's bytes, as read.
struct HiveLog {
    const unsigned char* bytes;
    std::size_t length;
    const unsigned char* data() const { return bytes; }
    std::size_t size() const { return length; }
};

// `base` is the primary file's base block (its checksum already found right
// by the caller), and `target` holds it and as much of the hive bins as the
// file has. `logs` are the two logs' bytes (an absent log is empty), in the
// order .LOG1, .LOG2. When the hive is dirty and entries apply, `target`
// becomes the hive Windows would load: the pages written in, grown (with
// zeros) or cut to the hive-bins size of the last entry applied, and `base`
// (written to the target's start as well) takes that hive-bins size, two
// equal sequence numbers (the last entry's, or the old-format log's), the
// last entry's flags and the right checksum. A hive that stays dirty, or is clean, is left as it
// was. `*failed` tells that a call of the target failed: what it holds is
// then no hive.
HiveRecovery recover_hive(unsigned char* base, const HiveTarget& target, const HiveLog logs[2], bool* failed);

// The same over the whole hive in a vector, which cannot fail.
HiveRecovery recover_hive(std::vector<unsigned char>* image, const std::vector<unsigned char>* logs[2]);

// A sector a log wrote: its number in the file, the order of the write, and
// where its bytes are in the log.
struct OverlaySector {
    std::uint32_t sector;
    std::uint32_t order;
    const unsigned char* bytes;
};

// The recovered hive as the logs' pages standing over the file's, without a
// copy: for each 512-byte sector a log wrote (above the base block), where
// its bytes are in the log, which must outlive the overlay.
struct HiveOverlay {
    std::size_t size;  // the hive's size once recovered, base block included
    // From here on the file's bytes are no part of the hive: where no log
    // wrote, the hive holds zeros (it grew, or was cut and grew again).
    std::size_t zeros_from;
    std::vector<OverlaySector> sectors;  // by sector number once finished
};

// A target that records where the recovery wrote, for recover_hive; the base
// block it writes is the caller's `base`, not recorded. `overlay->size` and
// `overlay->zeros_from` start as the file's hive size.
HiveTarget overlay_target(HiveOverlay* overlay);
// Once the recovery is done: the last write of each sector, in order.
void finish_overlay(HiveOverlay* overlay);
// The log's bytes for the sector at file offset `offset` (a multiple of
// 512), or null where the file's own stand.
const unsigned char* overlay_sector(const HiveOverlay& overlay, std::uint64_t offset);
