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

// Free cells side by side in one bin, taken as one free cell of their
// whole size; `changed` once its first cell's size word must be written.
struct FreeRun {
    std::size_t at;
    std::size_t size;
    bool changed;
};

// What the write reads of the hive, checked: where its bins end, where each
// used cell begins, so that an offset taken from the image can be trusted to
// name a whole cell, and the free space a new cell can take.
struct Hive {
    const Image* image;
    std::size_t end;  // file offset after the last bin
    std::uint32_t minor;
    std::vector<std::uint32_t> used_cells;  // file offsets, ascending
    std::vector<FreeRun> free_runs;         // ascending
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
            std::vector<FreeRun>& runs = hive->free_runs;
            if (used(image, cell)) {
                hive->used_cells.push_back(static_cast<std::uint32_t>(cell));
            } else if (!runs.empty() && runs.back().at + runs.back().size == cell) {
                runs.back().size += length;  // a bin's header stands between bins, so this is the same bin
            } else {
                runs.push_back({cell, length, false});
            }
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

// Where a value's data is held: in the "vk" cell, one cell, or big data.
// Offsets are file offsets; 0 for none.
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

// The cells of the value's data now, as Windows finds them: from its size
// and the hive's version, not from what the cells look like.
bool old_data(const Hive& hive, std::size_t vk, Stored* old) {
    const Image& image = *hive.image;
    std::uint32_t size = hive_word(image.data(), vk + VK_DATA_SIZE);
    std::size_t offset = HIVE_BASE_BLOCK + std::size_t{hive_word(image.data(), vk + VK_DATA)};
    old->layout = data_layout(hive.minor, size);
    if (old->layout == DataLayout::in_cell) return (size & ~IN_CELL) <= IN_CELL_LIMIT;
    if (size == 0) return true;  // no data, whatever the offset says
    old->cell = offset;
    if (old->layout == DataLayout::one_cell) return whole_cell(hive, offset, size);

    std::size_t count = segment_count(size);
    if (!whole_cell(hive, offset, DB_BODY) || std::memcmp(&image[offset + 4], "db", 2) != 0 ||
        hive_half(image.data(), offset + DB_COUNT) != count)
        return false;
    old->list = HIVE_BASE_BLOCK + std::size_t{hive_word(image.data(), offset + DB_LIST)};
    if (!whole_cell(hive, old->list, 4 * count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        old->segments.push_back(HIVE_BASE_BLOCK + std::size_t{hive_word(image.data(), old->list + 4 + 4 * i)});
        if (!whole_cell(hive, old->segments.back(), segment_length(size, i, count))) return false;
    }
    return true;
}

// The value's own cell, and the cells its data takes now, each named once:
// a list that names a cell twice, or the value's own cell, is no value
// Windows wrote, and freeing such a cell would free what is still in use.
bool value_cells(const Hive& hive, std::size_t vk, Stored* old) {
    const Image& image = *hive.image;
    if (!whole_cell(hive, vk, VK_FIXED) || std::memcmp(&image[vk + 4], "vk", 2) != 0) return false;
    std::size_t name = hive_half(image.data(), vk + VK_NAME_LENGTH);
    if (cell_size(image, vk) - 4 < VK_FIXED + name || !old_data(hive, vk, old)) return false;
    std::vector<std::size_t> all = old->segments;
    for (std::size_t cell : {vk, old->cell, old->list})
        if (cell != 0) all.push_back(cell);
    std::sort(all.begin(), all.end());
    return std::adjacent_find(all.begin(), all.end()) == all.end();
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
void free_cell(std::vector<FreeRun>* runs, std::size_t at, std::size_t size) {
    auto next = std::lower_bound(runs->begin(), runs->end(), at,
                                 [](const FreeRun& run, std::size_t offset) { return run.at < offset; });
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
std::size_t take_free(std::vector<FreeRun>* runs, std::size_t size) {
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
                            const unsigned char* data, std::uint32_t size) {
    // Everything is read, checked and planned before the first byte changes.
    Hive hive{};
    Stored old{};
    if (!read_hive(*image, &hive) || !value_cells(hive, vk, &old)) return ValueWrite::damaged;
    std::vector<std::size_t> sizes;
    if (!new_cell_sizes(hive.minor, size, &sizes)) return ValueWrite::too_large;
    std::vector<std::size_t> at;
    keep_cells(hive, old, size, sizes, &at);
    // The old cells not kept are free before the new ones are taken, so a
    // new cell may take the place of an old one.
    std::vector<std::size_t> old_cells = old.segments;
    old_cells.push_back(old.cell);
    old_cells.push_back(old.list);
    for (std::size_t cell : old_cells)
        if (cell != 0 && std::find(at.begin(), at.end(), cell) == at.end())
            free_cell(&hive.free_runs, cell, cell_size(*image, cell));
    // A new cell no free run holds goes into one bin appended for all such.
    std::vector<std::size_t> fresh(sizes.size(), 0);
    std::size_t unplaced = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (at[i] != 0) continue;
        fresh[i] = sizes[i];
        at[i] = take_free(&hive.free_runs, sizes[i]);
        if (at[i] == 0) unplaced += sizes[i];
    }
    std::size_t bin = hive.end;
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
        if (next < bin + bin_size) hive.free_runs.push_back({next, bin + bin_size - next, true});
    }
    for (const FreeRun& run : hive.free_runs)
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
