#include "hive/hive_check.h"

#include <algorithm>
#include <cstring>

#include "hive/hive_cells.h"
#include "hive/hive_format.h"

namespace {

using Image = std::vector<unsigned char>;

constexpr std::size_t NONE = static_cast<std::size_t>(-1);
constexpr std::size_t SK_FIXED = 20;  // a security cell's body before its descriptor

// Offsets inside a cell's body, which begins after the size word.
constexpr std::size_t body(std::size_t field) { return field - 4; }

// A cell's size word is negative while the cell is used.
std::size_t cell_size(const Image& image, std::size_t at) { return hive_cell_size(image.data(), at); }

bool signature_is(const CellBody& cell, const char* signature) {
    return cell.size() >= 2 && cell[0] == signature[0] && cell[1] == signature[1];
}

HiveDamage damage_of(HiveDamageKind kind, HivePart part, std::size_t offset) {
    HiveDamage damage{};
    damage.kind = kind;
    damage.part = part;
    damage.offset = offset;
    return damage;
}

// Every bin and cell, as a loader walks them, so that no cell named by an
// offset can run past its bin or start in the middle of another.
HiveDamage walk_bins(const Image& image, HiveSpace* space) {
    *space = HiveSpace{};
    std::size_t bins = image.size() < HIVE_BASE_BLOCK ? 0 : hive_word(image.data(), HIVE_BINS_SIZE);
    space->end = HIVE_BASE_BLOCK + bins;
    if (image.size() < HIVE_BASE_BLOCK || std::memcmp(image.data(), "regf", 4) != 0 || bins % HIVE_PAGE != 0 ||
        space->end > image.size() || bins > MAX_HIVE_BINS)
        return damage_of(HiveDamageKind::bins_size, HivePart::bins, HIVE_BINS_SIZE);
    space->minor = hive_word(image.data(), HIVE_MINOR_VERSION);
    for (std::size_t bin = HIVE_BASE_BLOCK, size = 0; bin < space->end; bin += size) {
        size = space->end - bin < HIVE_PAGE ? 0 : hive_word(image.data(), bin + 8);
        if (size == 0 || std::memcmp(&image[bin], "hbin", 4) != 0 ||
            hive_word(image.data(), bin + 4) != bin - HIVE_BASE_BLOCK || size % HIVE_PAGE != 0 ||
            size > space->end - bin)
            return damage_of(HiveDamageKind::bad_bin, HivePart::bins, bin);
        for (std::size_t cell = bin + BIN_HEADER, length = 0; cell < bin + size; cell += length) {
            length = cell_size(image, cell);
            // Whole words, as every reader walks them; a new cell is whole 8 bytes.
            if (length < CELL_UNIT || length % 4 != 0)
                return damage_of(HiveDamageKind::bad_cell_size, HivePart::bins, cell);
            if (length > bin + size - cell) return damage_of(HiveDamageKind::cell_past_bin, HivePart::bins, cell);
            std::vector<HiveFreeRun>& runs = space->free_runs;
            if ((hive_word(image.data(), cell) & 0x80000000u) != 0) {
                space->used_cells.push_back(static_cast<std::uint32_t>(cell));
            } else if (!runs.empty() && runs.back().at + runs.back().size == cell) {
                runs.back().size += length;  // a bin's header stands between bins, so this is the same bin
            } else {
                runs.push_back({cell, length, false});
            }
        }
    }
    return damage_of(HiveDamageKind::none, HivePart::none, 0);
}

// Who claims a used cell: the part it is, and the key that has it (for a
// key's own cell, the key that lists it; NO_CELL for the root), or for a
// value's data, the value. Cell offsets.
struct Claim {
    HivePart part;
    std::uint32_t by;
};

struct Check {
    const Image* image;
    HiveSpace* space;
    std::vector<Claim> claims;  // one a used cell, in the order of space->used_cells
    // What the cells read now are claimed as.
    HivePart part;
    std::uint32_t by;
    // The last cell read, so that a fault can be told precisely: its offset,
    // whether a used cell is there, and the cell claimed twice (NONE).
    std::uint32_t last;
    bool last_found;
    std::size_t shared;
};

std::size_t cell_index(const HiveSpace& space, std::uint32_t offset) {
    std::size_t at = HIVE_BASE_BLOCK + std::size_t{offset};
    auto found = std::lower_bound(space.used_cells.begin(), space.used_cells.end(), at);
    return found != space.used_cells.end() && *found == at ? static_cast<std::size_t>(found - space.used_cells.begin())
                                                           : NONE;
}

// The body of the used cell at `offset`, unclaimed; empty when none is there.
CellBody body_at(const Check& check, std::uint32_t offset) {
    std::size_t index = cell_index(*check.space, offset);
    if (index == NONE) return {};
    std::size_t at = check.space->used_cells[index];
    auto start = check.image->begin() + static_cast<std::ptrdiff_t>(at);
    return CellBody(start + 4, start + static_cast<std::ptrdiff_t>(cell_size(*check.image, at)));
}

// Reads each cell for the walk of the cells, claiming it as check->part; a
// cell claimed already (two security cells aside) is not read.
CellRead claim_cell(void* context, std::uint32_t offset, CellBody* cell) {
    Check* check = static_cast<Check*>(context);
    check->last = offset;
    std::size_t index = cell_index(*check->space, offset);
    check->last_found = index != NONE;
    cell->clear();
    if (index == NONE) return CellRead::absent;
    Claim& claim = check->claims[index];
    if (claim.part != HivePart::none && !(claim.part == HivePart::security && check->part == HivePart::security)) {
        check->shared = index;
        return CellRead::failed;
    }
    claim = {check->part, check->by};
    *cell = body_at(*check, offset);
    return CellRead::read;
}

void claim_as(Check* check, HivePart part, std::uint32_t by) {
    check->part = part;
    check->by = by;
}

std::u16string text_of(const std::vector<char16_t>& units) { return std::u16string(units.begin(), units.end()); }

// A key's name, when its cell is a whole key.
std::u16string key_name_at(const Check& check, std::uint32_t nk) {
    CellBody cell = body_at(check, nk);
    return is_whole_key(cell) ? text_of(key_name(cell)) : std::u16string();
}

std::u16string value_name_at(const Check& check, std::uint32_t vk) {
    CellBody cell = body_at(check, vk);
    return is_whole_value(cell) ? text_of(value_name(cell)) : std::u16string();
}

// The key's path below the root, through the keys that first listed each.
std::u16string key_path(const Check& check, std::uint32_t nk) {
    std::vector<std::u16string> names;
    for (std::size_t index = cell_index(*check.space, nk), steps = 0;
         index != NONE && check.claims[index].part == HivePart::key && check.claims[index].by != NO_CELL &&
         steps < check.claims.size();
         ++steps) {
        names.push_back(key_name_at(check, nk));
        nk = check.claims[index].by;
        index = cell_index(*check.space, nk);
    }
    std::u16string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) path += (path.empty() ? u"" : u"\\") + *name;
    return path;
}

// Names the part claimed by `by` at `cell`, into `key` and `value`.
void name_claim(const Check& check, HivePart part, std::uint32_t by, std::uint32_t cell, std::u16string* key,
                std::u16string* value) {
    if (part == HivePart::key) {
        *key = by == NO_CELL ? u"" : key_path(check, by);
        std::u16string name = key_name_at(check, cell);
        if (by != NO_CELL) *key += (key->empty() ? u"" : u"\\") + (name.empty() ? u"?" : name);
    } else if (part == HivePart::value_data) {
        *value = value_name_at(check, by);
        std::size_t index = cell_index(*check.space, by);
        *key = index == NONE ? u"" : key_path(check, check.claims[index].by);
    } else {
        *key = key_path(check, by);
        if (part == HivePart::value) *value = value_name_at(check, cell);
    }
}

// The damage of a walk that stopped at the cell read last, claimed as
// check->part by check->by; `cell` is what was to be read.
HiveDamage fault_at(const Check& check, std::uint32_t cell) {
    HiveDamage damage = damage_of(HiveDamageKind::not_whole, check.part, HIVE_BASE_BLOCK + std::size_t{check.last});
    name_claim(check, check.part, check.by, cell, &damage.key, &damage.value);
    if (check.shared != NONE) {
        const Claim& first = check.claims[check.shared];
        damage.kind = HiveDamageKind::shared;
        damage.other_part = first.part;
        std::uint32_t offset = static_cast<std::uint32_t>(check.space->used_cells[check.shared] - HIVE_BASE_BLOCK);
        name_claim(check, first.part, first.by, offset, &damage.other_key, &damage.other_value);
        return damage;
    }
    if (!check.last_found) {
        bool outside = check.last >= check.space->end - HIVE_BASE_BLOCK;
        damage.kind = outside ? HiveDamageKind::outside : HiveDamageKind::not_a_cell;
    }
    return damage;
}

// A subkey list that is no list of keys: told apart when it is a list of
// lists held by another, or one that holds itself.
HiveDamage list_fault(const Check& check, const CellBody& nk) {
    HiveDamage damage = fault_at(check, check.last);
    std::uint32_t root = hive_word(nk.data(), body(NK_SUBKEY_LIST));
    CellBody held = body_at(check, check.last);
    const Claim* first = check.shared == NONE ? nullptr : &check.claims[check.shared];
    if (first != nullptr && check.space->used_cells[check.shared] == HIVE_BASE_BLOCK + std::size_t{root} &&
        first->part == HivePart::subkey_list && first->by == check.by) {
        damage.kind = HiveDamageKind::list_itself;
    } else if (damage.kind == HiveDamageKind::not_whole && check.last != root && signature_is(held, "ri")) {
        damage.kind = HiveDamageKind::list_nested;
        for (std::size_t i = 0; held.size() >= 4 && i < hive_half(held.data(), 2) && 4 + 4 * i + 4 <= held.size();
             ++i) {
            std::uint32_t list = hive_word(held.data(), 4 + 4 * i);
            if (list == root || list == check.last) damage.kind = HiveDamageKind::list_loop;
        }
    }
    return damage;
}

// A value whose data Windows cannot read: told apart when its layout is the
// other format's (one cell where Windows reads big data, or the reverse),
// or its big data's count disagrees with its size.
HiveDamage data_fault(const Check& check, const CellBody& vk, std::uint32_t vk_offset) {
    HiveDamage damage = fault_at(check, vk_offset);
    std::uint32_t field = hive_word(vk.data(), body(VK_DATA_SIZE));
    std::uint32_t size = data_size(field);
    std::uint32_t offset = hive_word(vk.data(), body(VK_DATA));
    DataLayout layout = data_layout(check.space->minor, field);
    if (damage.kind != HiveDamageKind::not_whole || layout == DataLayout::in_cell || check.last != offset)
        return damage;
    CellBody cell = body_at(check, offset);
    if (layout == DataLayout::one_cell) {
        if (size > BIG_DATA_SEGMENT && signature_is(cell, "db")) damage.kind = HiveDamageKind::big_data_old;
    } else if (!signature_is(cell, "db")) {
        if (cell.size() >= size) damage.kind = HiveDamageKind::one_cell_big;
    } else if (cell.size() >= body(DB_LIST) + 4) {
        damage.kind = HiveDamageKind::segment_count;
    }
    return damage;
}

struct Subkeys {
    std::vector<std::pair<std::uint32_t, std::uint32_t>>* keys;  // a key, and the key that lists it
    std::uint32_t parent;
};

bool push_subkey(void* context, std::uint32_t key) {
    Subkeys* subkeys = static_cast<Subkeys*>(context);
    subkeys->keys->push_back({key, subkeys->parent});
    return true;
}

bool push_value(void* context, std::uint32_t value) {
    static_cast<std::vector<std::uint32_t>*>(context)->push_back(value);
    return true;
}

bool each_cell(void*, std::uint32_t, const CellBody&, std::size_t) { return true; }

// A key's security cell ("sk", shared between keys) and class name, which
// Windows frees with the key when it is not NO_CELL.
HiveDamage key_cells(Check* check, const CellBody& nk, std::uint32_t key) {
    CellBody cell;
    claim_as(check, HivePart::security, key);
    std::uint32_t security = hive_word(nk.data(), body(NK_SECURITY));
    if (claim_cell(check, security, &cell) != CellRead::read || !signature_is(cell, "sk") || cell.size() < SK_FIXED ||
        cell.size() - SK_FIXED < hive_word(cell.data(), 16))
        return fault_at(*check, security);
    claim_as(check, HivePart::class_name, key);
    std::uint32_t name = hive_word(nk.data(), body(NK_CLASS));
    std::size_t length = hive_half(nk.data(), body(NK_CLASS_LENGTH));
    CellRead read = name == NO_CELL ? CellRead::absent : claim_cell(check, name, &cell);
    bool whole = read == CellRead::read ? cell.size() >= length : read == CellRead::absent && length == 0;
    return whole || name == NO_CELL ? damage_of(HiveDamageKind::none, HivePart::none, 0) : fault_at(*check, name);
}

// Every key from the root, depth first, each cell claimed as it is read.
HiveDamage walk_keys(Check* check, std::uint32_t written) {
    HiveCells cells{check, claim_cell, check->space->minor};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> keys{
        {hive_word(check->image->data(), HIVE_ROOT_CELL), NO_CELL}};
    std::vector<std::uint32_t> values;
    CellBody nk;
    CellBody vk;
    bool listed = written == NO_CELL;
    while (!keys.empty()) {
        auto [key, parent] = keys.back();
        keys.pop_back();
        claim_as(check, HivePart::key, parent);
        if (read_key(cells, key, &nk) != HiveFault::none) return fault_at(*check, key);
        HiveDamage damage = key_cells(check, nk, key);
        if (damage.kind != HiveDamageKind::none) return damage;
        claim_as(check, HivePart::subkey_list, key);
        Subkeys subkeys{&keys, key};
        if (for_each_subkey(cells, nk, push_subkey, &subkeys) != HiveFault::none) return list_fault(*check, nk);
        claim_as(check, HivePart::value_list, key);
        values.clear();
        if (for_each_value(cells, nk, push_value, &values) != HiveFault::none) return fault_at(*check, key);
        bool written_key = std::find(values.begin(), values.end(), written) != values.end();
        listed = listed || written_key;
        for (std::uint32_t value : values) {
            claim_as(check, HivePart::value, key);
            if (read_value(cells, value, &vk) != HiveFault::none) return fault_at(*check, value);
            claim_as(check, HivePart::value_data, value);
            HiveFault fault = for_each_data_cell(cells, vk, each_cell, nullptr);
            // Elsewhere, a value Windows cannot read is no damage; its cells
            // read so far are claimed all the same.
            if (fault == HiveFault::read_failed || (fault != HiveFault::none && written_key))
                return data_fault(*check, vk, value);
        }
    }
    if (!listed) return damage_of(HiveDamageKind::not_listed, HivePart::value, HIVE_BASE_BLOCK + std::size_t{written});
    return damage_of(HiveDamageKind::none, HivePart::none, 0);
}

std::u16string ascii(const char* text) { return std::u16string(text, text + std::strlen(text)); }

std::u16string hex(std::size_t number) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), u"0123456789ABCDEF"[number % 16]);
        number /= 16;
    } while (number != 0);
    return u"0x" + digits;
}

// "the value NAME of the key PATH", and so on; the key left out when
// `with_key` is false.
std::u16string part_text(HivePart part, const std::u16string& key, const std::u16string& value, bool with_key) {
    std::u16string the_key = key.empty() ? u"the root key" : u"the key " + key;
    std::u16string of_key = with_key ? u" of " + the_key : u"";
    switch (part) {
        case HivePart::key:
            return the_key;
        case HivePart::subkey_list:
            return u"the subkey list" + of_key;
        case HivePart::value_list:
            return u"the value list" + of_key;
        case HivePart::value:
            return (value.empty() ? u"a value" : u"the value " + value) + of_key;
        case HivePart::value_data:
            return u"the data of the value " + value + of_key;
        case HivePart::class_name:
            return u"the class name" + of_key;
        case HivePart::security:
            return u"the security cell" + of_key;
        default:
            return u"the hive";
    }
}

// What a part is when it is not whole.
const char* not_whole_text(HivePart part) {
    switch (part) {
        case HivePart::key:
            return " is no whole key: no \"nk\" cell, or its name runs past its cell";
        case HivePart::subkey_list:
            return " is no whole list of keys: no \"lf\", \"lh\", \"li\" or \"ri\" cell, or its count runs past its "
                   "cell";
        case HivePart::value_list:
            return " runs past its cell: the key has more values than its list holds";
        case HivePart::value:
            return " is no whole value: no \"vk\" cell, or its name runs past its cell";
        case HivePart::value_data:
            return " is not where its size says: its cells are too small for it";
        case HivePart::class_name:
            return " runs past its cell";
        default:
            return " is no whole security cell (\"sk\")";
    }
}

// The texts of the damage, put together by hive_damage_text.
const char DAMAGED_TEXT[] = "the hive is damaged: ";
const char UNREADABLE_TEXT[] = "Windows cannot read ";

}  // namespace

HiveDamage check_hive(const std::vector<unsigned char>& image, std::size_t vk, HiveSpace* space) {
    HiveDamage damage = walk_bins(image, space);
    if (damage.kind != HiveDamageKind::none) return damage;
    Check check{&image,         space, std::vector<Claim>(space->used_cells.size(), Claim{HivePart::none, 0}),
                HivePart::none, 0,     0,
                false,          NONE};
    std::uint32_t written = vk < HIVE_BASE_BLOCK ? NO_CELL : static_cast<std::uint32_t>(vk - HIVE_BASE_BLOCK);
    return walk_keys(&check, written);
}

std::u16string hive_damage_text(const HiveDamage& damage) {
    std::u16string text = ascii(DAMAGED_TEXT);
    std::u16string part = part_text(damage.part, damage.key, damage.value, true);
    switch (damage.kind) {
        case HiveDamageKind::none:
            return u"";
        case HiveDamageKind::bins_size:
            return text + u"its header is no hive's, or its hive-bins size is no whole pages or runs past the file";
        case HiveDamageKind::bad_bin:
            return text + u"the hive bin at file offset " + hex(damage.offset) +
                   u" is not whole: its signature, offset or size is wrong";
        case HiveDamageKind::bad_cell_size:
            return text + u"the cell at file offset " + hex(damage.offset) +
                   u" has a size of 0, under 8 bytes, or not in whole words";
        case HiveDamageKind::cell_past_bin:
            return text + u"the cell at file offset " + hex(damage.offset) + u" runs past the end of its hive bin";
        case HiveDamageKind::outside:
            return text + part + u" points outside the hive bins";
        case HiveDamageKind::not_a_cell:
            return text + part + u" points at no cell (file offset " + hex(damage.offset) + u")";
        case HiveDamageKind::not_whole:
            return text + part + ascii(not_whole_text(damage.part));
        case HiveDamageKind::list_itself:
            return text + part + u" holds itself";
        case HiveDamageKind::list_loop:
            return text + part + u" holds a list of lists that holds it back: a loop";
        case HiveDamageKind::list_nested:
            return text + part + u" holds another list of lists, which Windows does not read";
        case HiveDamageKind::shared:
            return text + part + u" shares a cell with " +
                   part_text(damage.other_part, damage.other_key, damage.other_value, damage.other_key != damage.key);
        case HiveDamageKind::segment_count:
            return text + part + u" is big data whose count of segments disagrees with its size";
        case HiveDamageKind::one_cell_big:
            return ascii(UNREADABLE_TEXT) + part_text(HivePart::value, damage.key, damage.value, true) +
                   u": it holds more than 16,344 bytes in one cell, and from hive format 1.4 on Windows reads so "
                   u"much as big data";
        case HiveDamageKind::big_data_old:
            return ascii(UNREADABLE_TEXT) + part_text(HivePart::value, damage.key, damage.value, true) +
                   u": it is stored as big data, which Windows does not read in a hive of format 1.3";
        case HiveDamageKind::not_listed:
            return text + u"the value at file offset " + hex(damage.offset) + u" is in no key's list of values";
    }
    return text;
}
