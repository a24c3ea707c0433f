#include "hive/hive_value_writer.h"

#include <algorithm>
#include <cstring>

#include "hive/hive_cells.h"
#include "hive/hive_check.h"
#include "hive/hive_format.h"

namespace {

constexpr std::size_t BIN_UNIT = HIVE_PAGE;
constexpr std::size_t MAX_IMAGE = MAX_HIVE_BINS;

constexpr std::uint32_t IN_CELL = DATA_IN_CELL;
constexpr std::uint32_t IN_CELL_LIMIT = DATA_IN_CELL_LIMIT;
constexpr std::uint32_t SEGMENT = BIG_DATA_SEGMENT;
constexpr std::size_t MAX_SEGMENTS = MAX_BIG_DATA_SEGMENTS;
constexpr std::size_t DB_BODY = 8;

using Image = std::vector<unsigned char>;

std::size_t round_up(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

// A cell's size word is negative while the cell is used.
std::size_t cell_size(const Image& image, std::size_t at) { return hive_cell_size(image.data(), at); }

// What the write reads of the hive, found by the check before it: where
// its bins end, where each used cell begins, so that an offset taken from
// the image can be trusted to name a whole cell, and the free space a new
// cell can take.
struct Hive {
    const Image* image;
    HiveSpace space;
};

// Where a value's data is held: in the "vk" cell, one cell, or big data.
// File offsets; 0 for none.
struct Stored {
    DataLayout layout;
    std::size_t cell;  // the one cell, or the db cell
    std::size_t list;  // big data's list of segments
    std::vector<std::size_t> segments;
};

// The length of big data's segment `i` of `count`.
std::size_t segment_length(std::uint32_t size, std::size_t i, std::size_t count) {
    return i + 1 < count ? SEGMENT : size - SEGMENT * (count - 1);
}

// Any used cell the walk of the bins found.
CellRead read_used_cell(void* context, std::uint32_t offset, CellBody* cell) {
    const Hive& hive = *static_cast<const Hive*>(context);
    const std::vector<std::uint32_t>& used = hive.space.used_cells;
    std::size_t at = HIVE_BASE_BLOCK + std::size_t{offset};
    cell->clear();
    if (!std::binary_search(used.begin(), used.end(), at)) return CellRead::absent;
    auto start = hive.image->begin() + static_cast<std::ptrdiff_t>(at);
    cell->assign(start + 4, start + static_cast<std::ptrdiff_t>(cell_size(*hive.image, at)));
    return CellRead::read;
}

bool collect_cell(void* context, std::uint32_t offset, const CellBody&, std::size_t) {
    static_cast<std::vector<std::size_t>*>(context)->push_back(HIVE_BASE_BLOCK + std::size_t{offset});
    return true;
}

// The cells of the value's data now, as Windows finds them (from its size
// and the hive's version, not from what the cells look like).
bool old_data(Hive* hive, std::size_t vk, Stored* old) {
    HiveCells cells{hive, read_used_cell, hive->space.minor};
    CellBody value;
    std::vector<std::size_t> found;
    if (read_value(cells, static_cast<std::uint32_t>(vk - HIVE_BASE_BLOCK), &value) != HiveFault::none ||
        for_each_data_cell(cells, value, collect_cell, &found) != HiveFault::none)
        return false;
    old->layout = data_layout(hive->space.minor, hive_word(value.data(), VK_DATA_SIZE - 4));
    if (found.size() == 1) old->cell = found[0];
    if (found.size() < 2) return true;
    old->cell = found[0];
    old->list = found[1];
    old->segments.assign(found.begin() + 2, found.end());
    return true;
}

// The sizes of the cells the new data takes, in the order of a Stored: none
// for data in the value's cell; one cell; or the db cell, the list and the
// segments.
bool new_cell_sizes(std::uint32_t minor, std::uint32_t size, std::vector<std::size_t>* sizes) {
    if ((size & IN_CELL) != 0) return false;  // the size word has no room for it
    if (size <= IN_CELL_LIMIT) return true;
    if (data_layout(minor, size) == DataLayout::one_cell) {
        sizes->push_back(round_up(4 + std::size_t{size}, CELL_UNIT));
        return true;
    }
    std::size_t count = segment_count(size);
    if (count > MAX_SEGMENTS) return false;
    sizes->push_back(round_up(4 + DB_BODY, CELL_UNIT));
    sizes->push_back(round_up(4 + 4 * count, CELL_UNIT));
    // Each segment's cell has 4 bytes to spare after its data: 16,352 bytes
    // for a whole segment, as Windows allocates them, and hivex reads no
    // more than the cell's size less 8 bytes of a segment, the last one too.
    for (std::size_t i = 0; i < count; ++i)
        sizes->push_back(round_up(4 + segment_length(size, i, count) + 4, CELL_UNIT));
    return true;
}

// Which old cells the new data keeps, as Windows reallocates: a one-cell
// value that still fits stays in its cell; big data keeps its db cell, its
// list while the list holds the new count, and each segment whose cell holds
// its new part (a whole segment only in a cell of exactly 16,352 bytes,
// which is all that hivex reads right). `at[i]` is the kept cell for
// sizes[i], or 0 for a new one.
void keep_cells(const Hive& hive, const Stored& old, std::uint32_t size, const std::vector<std::size_t>& sizes,
                std::vector<std::size_t>* at) {
    const Image& image = *hive.image;
    at->assign(sizes.size(), 0);
    if (sizes.size() == 1 && old.layout == DataLayout::one_cell && old.cell != 0 &&
        cell_size(image, old.cell) - 4 >= size) {
        (*at)[0] = old.cell;
        return;
    }
    if (sizes.size() < 2 || old.layout != DataLayout::big_data) return;
    std::size_t count = sizes.size() - 2;
    (*at)[0] = old.cell;
    if (cell_size(image, old.list) - 4 >= 4 * count) (*at)[1] = old.list;
    for (std::size_t i = 0; i < count && i < old.segments.size(); ++i) {
        std::size_t length = cell_size(image, old.segments[i]);
        if (i + 1 < count ? length == sizes[2 + i] : length >= segment_length(size, i, count) + 8)
            (*at)[2 + i] = old.segments[i];
    }
}

// Marks the cell at `at` free in the plan, one run with the free space on
// either side of it.
void free_cell(std::vector<HiveFreeRun>* runs, std::size_t at, std::size_t size) {
    auto next = std::lower_bound(runs->begin(), runs->end(), at,
                                 [](const HiveFreeRun& run, std::size_t offset) { return run.at < offset; });
    if (next != runs->begin() && (next - 1)->at + (next - 1)->size == at) {
        --next;
        next->size += size;
    } else {
        next = runs->insert(next, {at, size, false});
    }
    next->changed = true;
    if (next + 1 != runs->end() && next->at + next->size == (next + 1)->at) {
        next->size += (next + 1)->size;
        runs->erase(next + 1);
    }
}

// Takes `size` bytes for a new cell from the smallest free run that holds
// it: its start, the rest of the run staying free (a rest too small for a
// cell is no split). 0 when no run holds it.
std::size_t take_free(std::vector<HiveFreeRun>* runs, std::size_t size) {
    auto best = runs->end();
    for (auto run = runs->begin(); run != runs->end(); ++run) {
        bool fits = run->size == size || run->size >= size + CELL_UNIT;
        if (fits && (best == runs->end() || run->size < best->size)) best = run;
    }
    if (best == runs->end()) return 0;
    std::size_t at = best->at;
    best->at += size;
    best->size -= size;
    best->changed = true;
    if (best->size == 0) runs->erase(best);
    return at;
}

// Writes the new data into its cells (`at`, the sizes of new ones in
// `sizes`), the bytes after the data in each cell zero, and gives the offset
// the value's cell points at.
std::uint32_t write_cells(Image* image, const std::vector<std::size_t>& at, const std::vector<std::size_t>& sizes,
                          const unsigned char* data, std::uint32_t size) {
    auto offset = [](std::size_t cell) { return static_cast<std::uint32_t>(cell - HIVE_BASE_BLOCK); };
    auto fill = [image](std::size_t cell, std::size_t fresh_size, const unsigned char* bytes, std::size_t length) {
        if (fresh_size != 0) put_hive_word(image->data(), cell, static_cast<std::uint32_t>(0u - fresh_size));
        std::size_t end = cell + cell_size(*image, cell);
        if (length > 0) std::memcpy(&(*image)[cell + 4], bytes, length);
        std::fill(image->begin() + static_cast<std::ptrdiff_t>(cell + 4 + length),
                  image->begin() + static_cast<std::ptrdiff_t>(end), 0);
    };
    if (at.size() == 1) {
        fill(at[0], sizes[0], data, size);
        return offset(at[0]);
    }
    std::size_t count = at.size() - 2;
    unsigned char db[DB_BODY] = {'d', 'b', static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8)};
    put_hive_word(db, 4, offset(at[1]));
    fill(at[0], sizes[0], db, DB_BODY);
    std::vector<unsigned char> list(4 * count);
    for (std::size_t i = 0; i < count; ++i) {
        put_hive_word(list.data(), 4 * i, offset(at[2 + i]));
        fill(at[2 + i], sizes[2 + i], data + SEGMENT * i, segment_length(size, i, count));
    }
    fill(at[1], sizes[1], list.data(), list.size());
    return offset(at[0]);
}

}  // namespace

ValueWrite write_value_data(std::vector<unsigned char>* image, std::size_t vk, std::uint32_t type,
                            const unsigned char* data, std::uint32_t size, HiveDamage* damage) {
    // Everything is read, checked and planned before the first byte changes.
    Hive hive{image, {}};
    HiveDamage found = check_hive(*image, vk, &hive.space);
    if (damage != nullptr) *damage = found;
    Stored old{};
    if (found.kind != HiveDamageKind::none || !old_data(&hive, vk, &old)) return ValueWrite::damaged;
    std::vector<std::size_t> sizes;
    if (!new_cell_sizes(hive.space.minor, size, &sizes)) return ValueWrite::too_large;
    std::vector<std::size_t> at;
    keep_cells(hive, old, size, sizes, &at);
    // The old cells not kept are free before the new ones are taken, so a
    // new cell may take the place of an old one.
    std::vector<std::size_t> old_cells = old.segments;
    old_cells.push_back(old.cell);
    old_cells.push_back(old.list);
    for (std::size_t cell : old_cells)
        if (cell != 0 && std::find(at.begin(), at.end(), cell) == at.end())
            free_cell(&hive.space.free_runs, cell, cell_size(*image, cell));
    // A new cell no free run holds goes into one bin appended for all such.
    std::vector<std::size_t> fresh(sizes.size(), 0);
    std::size_t unplaced = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (at[i] != 0) continue;
        fresh[i] = sizes[i];
        at[i] = take_free(&hive.space.free_runs, sizes[i]);
        if (at[i] == 0) unplaced += sizes[i];
    }
    std::size_t bin = hive.space.end;
    std::size_t bin_size = unplaced == 0 ? 0 : round_up(BIN_HEADER + unplaced, BIN_UNIT);
    if (bin_size > MAX_IMAGE - bin) return ValueWrite::too_large;

    if (bin_size != 0) {
        // The new bin takes the place of whatever followed the last bin.
        image->resize(bin + bin_size);
        std::fill(image->begin() + static_cast<std::ptrdiff_t>(bin), image->end(), 0);
        std::memcpy(&(*image)[bin], "hbin", 4);
        put_hive_word(image->data(), bin + 4, static_cast<std::uint32_t>(bin - HIVE_BASE_BLOCK));
        put_hive_word(image->data(), bin + 8, static_cast<std::uint32_t>(bin_size));
        std::size_t next = bin + BIN_HEADER;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            if (at[i] != 0) continue;
            at[i] = next;
            next += sizes[i];
        }
        if (next < bin + bin_size) hive.space.free_runs.push_back({next, bin + bin_size - next, true});
    }
    for (const HiveFreeRun& run : hive.space.free_runs)
        if (run.changed) put_hive_word(image->data(), run.at, static_cast<std::uint32_t>(run.size));
    std::uint32_t stored = size;
    std::uint32_t field = 0;
    if (sizes.empty()) {
        unsigned char in_cell[4] = {};
        if (size > 0) std::memcpy(in_cell, data, size);
        field = hive_word(in_cell, 0);
        stored = size | IN_CELL;
    } else {
        field = write_cells(image, at, fresh, data, size);
    }
    put_hive_word(image->data(), vk + VK_DATA_SIZE, stored);
    put_hive_word(image->data(), vk + VK_DATA, field);
    put_hive_word(image->data(), vk + VK_TYPE, type);
    put_hive_word(image->data(), HIVE_BINS_SIZE, static_cast<std::uint32_t>(bin + bin_size - HIVE_BASE_BLOCK));
    put_hive_word(image->data(), HIVE_CHECKSUM, base_block_checksum(image->data()));
    return ValueWrite::written;
}
