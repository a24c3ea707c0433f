// Writing one value's data into a hive image as Windows stores it, so that
// every other cell of the hive stays as it was: up to 4 bytes in the value's
// own cell; up to 16,344 bytes in one data cell; more, from format 1.4 on, as
// "big data" (a db cell, a list of segments, segments of 16,344 bytes each in
// cells of 16,352 bytes); in a format 1.3 hive, one cell of any size. Pure
// work on bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hive/hive_check.h"

enum class ValueWrite {
    written,
    damaged,    // the hive fails the check before a write (what and where in the damage)
    too_large,  // more than a hive can hold in one value
};

// Gives the value whose "vk" cell is at file offset `vk` (4096 + its cell
// offset, as hivex counts) `size` bytes of `data` (which is not in the
// image) and the type `type`. The data stays in the value's own cells where
// they hold it; a new cell takes free space of the hive first, and a hive
// bin is appended at the end of the image only when no free cell holds it;
// the old cells no longer needed are marked free. The base block's hive-bins
// size and checksum are set right; its sequence numbers are left to the
// caller.
//
// The whole hive is checked first (check_hive, with this value's key as the
// key written); when it fails, `*damage` (unless null) says what is
// damaged, and nothing is changed. Nothing is changed either when the data
// is too large.
ValueWrite write_value_data(std::vector<unsigned char>* image, std::size_t vk, std::uint32_t type,
                            const unsigned char* data, std::uint32_t size, HiveDamage* damage = nullptr);
