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

enum class ValueWrite {
    written,
    damaged,    // the value's cell or its old data cells are not what they should be
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
ValueWrite write_value_data(std::vector<unsigned char>* image, std::size_t vk, std::uint32_t type,
                            const unsigned char* data, std::uint32_t size);
