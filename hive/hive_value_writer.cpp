#include "hive/hive_value_writer.h"

#include <algorithm>
#include <cstring>

#include "hive/hive_format.h"

namespace {

constexpr std::size_t BIN_UNIT = HIVE_PAGE;
constexpr std::size_t MAX_IMAGE = MAX_HIVE_BINS;

constexpr std::size_t VK_FIXED = VK_NAME - 4;  // the body before the name
constexpr std::uint32_t IN_CELL = DATA_IN_CELL;
constexpr std::uint32_t IN_CELL_LIMIT = DATA_IN_CELL_LIMIT;
constexpr std::uint32_t SEGMENT = BIG_DATA_SEGMENT;
constexpr std::size_t MAX_SEGMENTS = MAX_BIG_DATA_SEGMENTS;
constexpr std::size_t DB_BODY = 8;

using Image = std::vector<unsigned char>;

std::size_t round_up(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

// A cell's size word is negative while the cell is used.
std::size_t cell_size(const Image& image, std::size_t at) {
    std::uint32_t raw = hive_word(image.data(), at);
    return (raw & IN_CELL) != 0 ? std::size_t{0u - raw} : std::size_t{raw};
}

bool used(const Image& image, std::size_t at) { return (hive_word(image.data(), at) & IN_CELL) != 0; }

// What the write reads of the hive, checked: where its bins end, and where
// each used cell begins, so that an offset taken from the image can be
// trusted to name a whole cell.
struct Hive {
    const Image* image;
    std::size_t end;  // file offset after the last bin
    std::uint32_t minor;
    std::vector<std::uint32_t> used_cells;  // file offsets, ascending
};

// Walks every bin and cell, as a loader does, so that no cell named by an
// offset can run past its bin or start in the middle of another.
bool walk_bins(Hive* hive) {
    const Image& image = *hive->image;
    for (std::size_t bin = HIVE_BASE_BLOCK, size = 0; bin < hive->end; bin += size) {
        if (hive->end - bin < BIN_UNIT || std::memcmp(&image[bin], "hbin", 4) != 0) return false;
        size = hive_word(image.data(), bin + 8);
        if (hive_word(image.data(), bin + 4) != bin - HIVE_BASE_BLOCK || size == 0 || size % BIN_UNIT != 0 ||
            size > hive->end - bin)
            return false;
        for (std::size_t cell = bin + BIN_HEADER, length = 0; cell < bin + size; cell += length) {
            length = cell_size(image, cell);
            // Whole words, as every reader walks them; a new cell is whole 8 bytes.
            if (length < CELL_UNIT || length % 4 != 0 || length > bin + size - cell) return false;
            if (used(image, cell)) hive->used_cells.push_back(static_cast<std::uint32_t>(cell));
        }
    }
    return true;
}

bool read_hive(const Image& image, Hive* hive) {
    hive->image = &image;
    if (image.size() < HIVE_BASE_BLOCK || std::memcmp(image.data(), "regf", 4) != 0) return false;
    std::size_t bins = hive_word(image.data(), HIVE_BINS_SIZE);
    hive->end = HIVE_BASE_BLOCK + bins;
    hive->minor = hive_word(image.data(), HIVE_MINOR_VERSION);
    return bins % BIN_UNIT == 0 && hive->end <= image.size() && hive->end <= MAX_IMAGE && walk_bins(hive);
}

// A used cell at `at` whose body holds at least `need` bytes.
bool whole_cell(const Hive& hive, std::size_t at, std::size_t need) {
    return std::binary_search(hive.used_cells.begin(), hive.used_cells.end(), at) &&
           cell_size(*hive.image, at) - 4 >= need;
}

// Takes the cell at offset `offset` (from the first bin, as the hive stores
// it) into `cells` when it is used and holds `need` bytes.
bool take_cell(const Hive& hive, std::uint32_t offset, std::size_t need, std::vector<std::size_t>* cells) {
    std::size_t at = HIVE_BASE_BLOCK + offset;
    if (!whole_cell(hive, at, need)) return false;
    cells->push_back(at);
    return true;
}

// The cells of the value's data now, as Windows finds them: from its size
// and the hive's version, not from what the cells look like.
bool old_data_cells(const Hive& hive, std::size_t vk, std::vector<std::size_t>* cells) {
    const Image& image = *hive.image;
    std::uint32_t size = hive_word(image.data(), vk + VK_DATA_SIZE);
    std::uint32_t offset = hive_word(image.data(), vk + VK_DATA);
    if ((size & IN_CELL) != 0) return (size & ~IN_CELL) <= IN_CELL_LIMIT;
    if (size == 0) return true;  // no data, whatever the offset says
    if (hive.minor < FIRST_BIG_DATA_MINOR || size <= SEGMENT) return take_cell(hive, offset, size, cells);

    if (!take_cell(hive, offset, DB_BODY, cells)) return false;
    std::size_t db = cells->back();
    std::size_t count = image[db + 6] | std::size_t{image[db + 7]} << 8;
    if (std::memcmp(&image[db + 4], "db", 2) != 0 || count != (size + SEGMENT - 1) / SEGMENT ||
        !take_cell(hive, hive_word(image.data(), db + 8), 4 * count, cells))
        return false;
    std::size_t list = cells->back() + 4;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length = i + 1 < count ? SEGMENT : size - SEGMENT * (count - 1);
        if (!take_cell(hive, hive_word(image.data(), list + 4 * i), length, cells)) return false;
    }
    return true;
}

// The value's own cell, and the cells its data takes now, each named once:
// a list that names a cell twice, or the value's own cell, is no value
// Windows wrote, and freeing such a cell would free what is still in use.
bool value_cells(const Hive& hive, std::size_t vk, std::vector<std::size_t>* cells) {
    const Image& image = *hive.image;
    if (!whole_cell(hive, vk, VK_FIXED) || std::memcmp(&image[vk + 4], "vk", 2) != 0) return false;
    std::size_t name = image[vk + VK_NAME_LENGTH] | std::size_t{image[vk + VK_NAME_LENGTH + 1]} << 8;
    if (cell_size(image, vk) - 4 < VK_FIXED + name || !old_data_cells(hive, vk, cells)) return false;
    std::vector<std::size_t> all = *cells;
    all.push_back(vk);
    std::sort(all.begin(), all.end());
    return std::adjacent_find(all.begin(), all.end()) == all.end();
}

// The sizes of the cells the new data takes, in the order they are laid
// out: none for data in the value's cell; one cell; or the db cell, the
// list and the segments.
bool new_cell_sizes(std::uint32_t minor, std::uint32_t size, std::vector<std::size_t>* sizes) {
    if ((size & IN_CELL) != 0) return false;  // the size word has no room for it
    if (size <= IN_CELL_LIMIT) return true;
    if (minor < FIRST_BIG_DATA_MINOR || size <= SEGMENT) {
        sizes->push_back(round_up(4 + std::size_t{size}, CELL_UNIT));
        return true;
    }
    std::size_t count = (std::size_t{size} + SEGMENT - 1) / SEGMENT;
    if (count > MAX_SEGMENTS) return false;
    sizes->push_back(round_up(4 + DB_BODY, CELL_UNIT));
    sizes->push_back(round_up(4 + 4 * count, CELL_UNIT));
    // Each segment's cell has 4 bytes to spare after its data: 16,352 bytes
    // for a whole segment, as Windows allocates them, and hivex reads no
    // more than the cell's size less 8 bytes of a segment, the last one too.
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length = i + 1 < count ? SEGMENT : size - SEGMENT * (count - 1);
        sizes->push_back(round_up(4 + length + 4, CELL_UNIT));
    }
    return true;
}

// Lays the new cells out in a new bin at `bin`, the space after them one
// free cell, and gives the offset the value's cell points at.
std::uint32_t write_cells(Image* image, std::size_t bin, std::size_t bin_size, const std::vector<std::size_t>& sizes,
                          const unsigned char* data, std::uint32_t size) {
    std::fill(image->begin() + static_cast<std::ptrdiff_t>(bin), image->end(), 0);
    std::memcpy(&(*image)[bin], "hbin", 4);
    put_hive_word(image->data(), bin + 4, static_cast<std::uint32_t>(bin - HIVE_BASE_BLOCK));
    put_hive_word(image->data(), bin + 8, static_cast<std::uint32_t>(bin_size));
    std::vector<std::size_t> starts;
    std::size_t at = bin + BIN_HEADER;
    for (std::size_t length : sizes) {
        starts.push_back(at);
        put_hive_word(image->data(), at, static_cast<std::uint32_t>(0u - length));
        at += length;
    }
    if (at < bin + bin_size) put_hive_word(image->data(), at, static_cast<std::uint32_t>(bin + bin_size - at));
    auto offset = [](std::size_t cell) { return static_cast<std::uint32_t>(cell - HIVE_BASE_BLOCK); };
    if (sizes.size() == 1) {
        std::memcpy(&(*image)[starts[0] + 4], data, size);
        return offset(starts[0]);
    }
    std::size_t count = sizes.size() - 2;
    std::memcpy(&(*image)[starts[0] + 4], "db", 2);
    (*image)[starts[0] + 6] = static_cast<unsigned char>(count);
    (*image)[starts[0] + 7] = static_cast<unsigned char>(count >> 8);
    put_hive_word(image->data(), starts[0] + 8, offset(starts[1]));
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t done = SEGMENT * i;
        put_hive_word(image->data(), starts[1] + 4 + 4 * i, offset(starts[2 + i]));
        std::memcpy(&(*image)[starts[2 + i] + 4], data + done, std::min<std::size_t>(SEGMENT, size - done));
    }
    return offset(starts[0]);
}

}  // namespace

ValueWrite write_value_data(std::vector<unsigned char>* image, std::size_t vk, std::uint32_t type,
                            const unsigned char* data, std::uint32_t size) {
    // Everything is read and checked before the first byte changes.
    Hive hive{};
    std::vector<std::size_t> old_cells;
    if (!read_hive(*image, &hive) || !value_cells(hive, vk, &old_cells)) return ValueWrite::damaged;
    std::vector<std::size_t> sizes;
    if (!new_cell_sizes(hive.minor, size, &sizes)) return ValueWrite::too_large;
    std::size_t cells = 0;
    for (std::size_t length : sizes) cells += length;
    std::size_t bin = hive.end;
    std::size_t bin_size = sizes.empty() ? 0 : round_up(BIN_HEADER + cells, BIN_UNIT);
    if (bin_size > MAX_IMAGE - bin) return ValueWrite::too_large;

    std::uint32_t stored = size | IN_CELL;
    std::uint32_t field = 0;
    if (sizes.empty()) {
        unsigned char in_cell[4] = {};
        if (size > 0) std::memcpy(in_cell, data, size);
        field = std::uint32_t(in_cell[0]) | std::uint32_t(in_cell[1]) << 8 | std::uint32_t(in_cell[2]) << 16 |
                std::uint32_t(in_cell[3]) << 24;
    } else {
        // The new bin takes the place of whatever followed the last bin.
        image->resize(bin + bin_size);
        field = write_cells(image, bin, bin_size, sizes, data, size);
        stored = size;
    }
    for (std::size_t cell : old_cells)
        put_hive_word(image->data(), cell, static_cast<std::uint32_t>(cell_size(*image, cell)));
    put_hive_word(image->data(), vk + VK_DATA_SIZE, stored);
    put_hive_word(image->data(), vk + VK_DATA, field);
    put_hive_word(image->data(), vk + VK_TYPE, type);
    put_hive_word(image->data(), HIVE_BINS_SIZE, static_cast<std::uint32_t>(bin + bin_size - HIVE_BASE_BLOCK));
    put_hive_word(image->data(), HIVE_CHECKSUM, base_block_checksum(image->data()));
    return ValueWrite::written;
}
