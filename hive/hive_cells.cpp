#include "hive/hive_cells.h"

#include "hive/hive_upcase.h"

namespace {

// Offsets inside a cell's body, which begins after the size word.
constexpr std::size_t body(std::size_t field) { return field - 4; }

constexpr std::size_t NK_FIXED = body(NK_NAME);
constexpr std::size_t VK_FIXED = body(VK_NAME);
constexpr std::size_t DB_FIXED = 8;

HiveFault fault_of(CellRead read, HiveFault absent) {
    return read == CellRead::read ? HiveFault::none : read == CellRead::failed ? HiveFault::read_failed : absent;
}

bool signature_is(const CellBody& cell, const char* signature) {
    return cell.size() >= 2 && cell[0] == signature[0] && cell[1] == signature[1];
}

// A name as stored: `length` bytes from `at`, one byte a character when
// `compressed`, else UTF-16LE. Compared unit by unit in upper case.
bool stored_name_is(const CellBody& cell, std::size_t at, std::size_t length, bool compressed, const char16_t* name,
                    std::size_t name_length) {
    std::size_t units = compressed ? length : length / 2;
    if (units != name_length) return false;
    for (std::size_t i = 0; i < units; ++i) {
        char16_t unit = compressed ? cell[at + i] : static_cast<char16_t>(hive_half(cell.data(), at + 2 * i));
        if (upcase_unit(unit) != upcase_unit(name[i])) return false;
    }
    return true;
}

// The name stored as stored_name_is reads it, as UTF-16 units.
std::vector<char16_t> stored_name(const CellBody& cell, std::size_t at, std::size_t length, bool compressed) {
    std::vector<char16_t> name;
    for (std::size_t i = 0; i < (compressed ? length : length / 2); ++i) {
        name.push_back(compressed ? cell[at + i] : static_cast<char16_t>(hive_half(cell.data(), at + 2 * i)));
    }
    return name;
}

// A cell of this signature with its fixed fields, and the name whose length
// is at `length_field` inside it.
bool whole_cell(const CellBody& cell, const char* signature, std::size_t fixed, std::size_t length_field) {
    return cell.size() >= fixed && signature_is(cell, signature) &&
           cell.size() - fixed >= hive_half(cell.data(), length_field);
}

// A list of keys ("lf", "lh" or "li") with its elements inside the cell.
bool leaf_list(const CellBody& list, std::size_t* step) {
    if (signature_is(list, "lf") || signature_is(list, "lh")) {
        *step = 8;
    } else if (signature_is(list, "li")) {
        *step = 4;
    } else {
        return false;
    }
    return list.size() >= 4 && (list.size() - 4) / *step >= hive_half(list.data(), 2);
}

struct SubkeySearch {
    const HiveCells* cells;
    const char16_t* name;
    std::size_t length;
    std::uint32_t found;
    HiveFault fault;
    CellBody nk;
};

bool match_subkey(void* context, std::uint32_t offset) {
    SubkeySearch* search = static_cast<SubkeySearch*>(context);
    search->fault = read_key(*search->cells, offset, &search->nk);
    if (search->fault != HiveFault::none) return false;
    if (!key_name_is(search->nk, search->name, search->length)) return true;
    search->found = offset;
    return false;
}

struct ValueSearch {
    const HiveCells* cells;
    const char16_t* name;
    std::size_t length;
    std::uint32_t found;
    HiveFault fault;
    CellBody* vk;
};

bool match_value(void* context, std::uint32_t offset) {
    ValueSearch* search = static_cast<ValueSearch*>(context);
    search->fault = read_value(*search->cells, offset, search->vk);
    if (search->fault != HiveFault::none) return false;
    if (!value_name_is(*search->vk, search->name, search->length)) return true;
    search->found = offset;
    return false;
}

struct DataCopy {
    std::vector<unsigned char>* data;
};

bool copy_data(void* context, std::uint32_t, const CellBody& cell, std::size_t length) {
    std::vector<unsigned char>* data = static_cast<DataCopy*>(context)->data;
    data->insert(data->end(), cell.begin(), cell.begin() + static_cast<std::ptrdiff_t>(length));
    return true;
}

// Whether the cell at `offset` is there with room for `need` bytes.
HiveFault cell_holds(const HiveCells& cells, std::uint32_t offset, std::size_t need, CellBody* cell) {
    HiveFault fault = fault_of(cells.read_cell(cells.context, offset, cell), HiveFault::value_data);
    return fault == HiveFault::none && cell->size() < need ? HiveFault::value_data : fault;
}

}  // namespace

bool is_whole_key(const CellBody& nk) { return whole_cell(nk, "nk", NK_FIXED, body(NK_NAME_LENGTH)); }

bool is_whole_value(const CellBody& vk) { return whole_cell(vk, "vk", VK_FIXED, body(VK_NAME_LENGTH)); }

HiveFault read_key(const HiveCells& cells, std::uint32_t offset, CellBody* nk) {
    HiveFault fault = fault_of(cells.read_cell(cells.context, offset, nk), HiveFault::key);
    if (fault != HiveFault::none) return fault;
    return is_whole_key(*nk) ? HiveFault::none : HiveFault::key;
}

bool key_name_is(const CellBody& nk, const char16_t* name, std::size_t length) {
    bool compressed = (hive_half(nk.data(), body(NK_FLAGS)) & NK_COMPRESSED_NAME) != 0;
    return stored_name_is(nk, NK_FIXED, hive_half(nk.data(), body(NK_NAME_LENGTH)), compressed, name, length);
}

std::vector<char16_t> key_name(const CellBody& nk) {
    bool compressed = (hive_half(nk.data(), body(NK_FLAGS)) & NK_COMPRESSED_NAME) != 0;
    return stored_name(nk, NK_FIXED, hive_half(nk.data(), body(NK_NAME_LENGTH)), compressed);
}

HiveFault for_each_subkey(const HiveCells& cells, const CellBody& nk, bool (*visit)(void* context, std::uint32_t key),
                          void* context) {
    if (hive_word(nk.data(), body(NK_SUBKEY_COUNT)) == 0) return HiveFault::none;
    CellBody root;
    HiveFault fault = fault_of(cells.read_cell(cells.context, hive_word(nk.data(), body(NK_SUBKEY_LIST)), &root),
                               HiveFault::subkey_list);
    if (fault != HiveFault::none) return fault;
    // An "ri" holds the offsets of lists of keys; anything else is one.
    bool index = signature_is(root, "ri");
    std::size_t lists = index ? hive_half(root.data(), 2) : 1;
    if (index && (root.size() < 4 || (root.size() - 4) / 4 < lists)) return HiveFault::subkey_list;
    CellBody leaf;
    for (std::size_t i = 0; i < lists; ++i) {
        if (index) {
            fault = fault_of(cells.read_cell(cells.context, hive_word(root.data(), 4 + 4 * i), &leaf),
                             HiveFault::subkey_list);
            if (fault != HiveFault::none) return fault;
        }
        const CellBody& list = index ? leaf : root;
        std::size_t step = 0;
        if (!leaf_list(list, &step)) return HiveFault::subkey_list;
        // A visit may read cells into buffers of its own; the list stays.
        for (std::size_t k = 0, count = hive_half(list.data(), 2); k < count; ++k) {
            if (!visit(context, hive_word(list.data(), 4 + step * k))) return HiveFault::none;
        }
    }
    return HiveFault::none;
}

HiveFault find_subkey(const HiveCells& cells, const CellBody& nk, const char16_t* name, std::size_t length,
                      std::uint32_t* found) {
    SubkeySearch search{&cells, name, length, NO_CELL, HiveFault::none, {}};
    HiveFault fault = for_each_subkey(cells, nk, match_subkey, &search);
    *found = search.found;
    return fault != HiveFault::none ? fault : search.fault;
}

HiveFault for_each_value(const HiveCells& cells, const CellBody& nk, bool (*visit)(void* context, std::uint32_t value),
                         void* context) {
    std::uint32_t count = hive_word(nk.data(), body(NK_VALUE_COUNT));
    if (count == 0) return HiveFault::none;
    CellBody list;
    HiveFault fault = fault_of(cells.read_cell(cells.context, hive_word(nk.data(), body(NK_VALUE_LIST)), &list),
                               HiveFault::value_list);
    if (fault != HiveFault::none) return fault;
    if (list.size() / 4 < count) return HiveFault::value_list;
    for (std::size_t i = 0; i < count; ++i) {
        if (!visit(context, hive_word(list.data(), 4 * i))) break;
    }
    return HiveFault::none;
}

HiveFault read_value(const HiveCells& cells, std::uint32_t offset, CellBody* vk) {
    HiveFault fault = fault_of(cells.read_cell(cells.context, offset, vk), HiveFault::value);
    if (fault != HiveFault::none) return fault;
    return is_whole_value(*vk) ? HiveFault::none : HiveFault::value;
}

bool value_name_is(const CellBody& vk, const char16_t* name, std::size_t length) {
    bool compressed = (hive_half(vk.data(), body(VK_FLAGS)) & VK_COMPRESSED_NAME) != 0;
    return stored_name_is(vk, VK_FIXED, hive_half(vk.data(), body(VK_NAME_LENGTH)), compressed, name, length);
}

std::vector<char16_t> value_name(const CellBody& vk) {
    bool compressed = (hive_half(vk.data(), body(VK_FLAGS)) & VK_COMPRESSED_NAME) != 0;
    return stored_name(vk, VK_FIXED, hive_half(vk.data(), body(VK_NAME_LENGTH)), compressed);
}

HiveFault find_value(const HiveCells& cells, const CellBody& nk, const char16_t* name, std::size_t length,
                     std::uint32_t* found, CellBody* vk) {
    ValueSearch search{&cells, name, length, NO_CELL, HiveFault::none, vk};
    HiveFault fault = for_each_value(cells, nk, match_value, &search);
    *found = search.found;
    return fault != HiveFault::none ? fault : search.fault;
}

HiveFault for_each_data_cell(const HiveCells& cells, const CellBody& vk,
                             bool (*visit)(void* context, std::uint32_t offset, const CellBody& cell, std::size_t data),
                             void* context) {
    std::uint32_t field = hive_word(vk.data(), body(VK_DATA_SIZE));
    std::uint32_t size = data_size(field);
    std::uint32_t offset = hive_word(vk.data(), body(VK_DATA));
    DataLayout layout = data_layout(cells.minor, field);
    if (layout == DataLayout::in_cell) return size <= DATA_IN_CELL_LIMIT ? HiveFault::none : HiveFault::value_data;
    if (size == 0) return HiveFault::none;  // no data, whatever the offset says
    CellBody cell;
    if (layout == DataLayout::one_cell) {
        HiveFault fault = cell_holds(cells, offset, size, &cell);
        if (fault == HiveFault::none) visit(context, offset, cell, size);
        return fault;
    }
    HiveFault fault = cell_holds(cells, offset, DB_FIXED, &cell);
    if (fault != HiveFault::none) return fault;
    std::size_t count = segment_count(size);
    if (!signature_is(cell, "db") || hive_half(cell.data(), body(DB_COUNT)) != count) return HiveFault::value_data;
    if (!visit(context, offset, cell, 0)) return HiveFault::none;
    std::uint32_t list_offset = hive_word(cell.data(), body(DB_LIST));
    CellBody list;
    fault = cell_holds(cells, list_offset, 4 * count, &list);
    if (fault != HiveFault::none) return fault;
    if (!visit(context, list_offset, list, 0)) return HiveFault::none;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length = i + 1 < count ? BIG_DATA_SEGMENT : size - BIG_DATA_SEGMENT * (count - 1);
        std::uint32_t segment = hive_word(list.data(), 4 * i);
        fault = cell_holds(cells, segment, length, &cell);
        if (fault != HiveFault::none) return fault;
        if (!visit(context, segment, cell, length)) return HiveFault::none;
    }
    return HiveFault::none;
}

HiveFault read_value_data(const HiveCells& cells, const CellBody& vk, std::vector<unsigned char>* data) {
    data->clear();
    std::uint32_t field = hive_word(vk.data(), body(VK_DATA_SIZE));
    std::uint32_t size = data_size(field);
    if (data_layout(cells.minor, field) == DataLayout::in_cell) {
        if (size > DATA_IN_CELL_LIMIT) return HiveFault::value_data;
        const unsigned char* in_cell = vk.data() + body(VK_DATA);
        data->assign(in_cell, in_cell + size);
        return HiveFault::none;
    }
    // Room at once for all a value of any usual size holds; a size no hive
    // could hold costs nothing before its cells are found.
    if (size <= (std::uint32_t(1) << 24)) data->reserve(size);
    DataCopy copy{data};
    HiveFault fault = for_each_data_cell(cells, vk, copy_data, &copy);
    // Never part of the data.
    if (fault != HiveFault::none) data->clear();
    return fault;
}

CellRead read_cell_from(const HiveBytes& bytes, std::uint32_t offset, CellBody* cell) {
    cell->clear();
    // A cell begins after the first bin's header, on a word, inside the bins.
    if (offset < BIN_HEADER || offset % 4 != 0 || offset > bytes.bins_size || bytes.bins_size - offset < 4) {
        return CellRead::absent;
    }
    unsigned char word[4];
    if (!bytes.read(bytes.context, HIVE_BASE_BLOCK + offset, word, 4)) return CellRead::failed;
    std::uint32_t raw = hive_word(word, 0);
    // Negative while used; never smaller than its size word and a word more.
    std::uint32_t size = 0u - raw;
    if ((raw & 0x80000000u) == 0 || size < 8 || size > bytes.bins_size - offset) return CellRead::absent;
    cell->resize(size - 4);
    if (!bytes.read(bytes.context, HIVE_BASE_BLOCK + offset + 4, cell->data(), size - 4)) return CellRead::failed;
    return CellRead::read;
}
