#include "platform/hive_file.h"

#include <cstring>

#include "hive/hive_cells.h"
#include "hive/hive_logs.h"
#include "hive/hive_value_writer.h"

namespace {

constexpr std::size_t SECTOR = 512;
// Room for a changed value's new cells in the hive written.
constexpr std::size_t WRITE_ROOM = std::size_t(1) << 16;

// One hive file: what was read of it and where the rest is.
struct Hive {
    bool loaded = false;
    HiveFileCalls calls{};
    // The base block as Windows would load the hive (recovered).
    unsigned char base[HIVE_BASE_BLOCK] = {};
    // Where the file's own hive bytes end: its length, or less.
    std::uint64_t file_end = 0;
    HiveLog logs[2] = {};
    HiveOverlay overlay{};
    HiveRecovery recovery{HiveState::clean, 0, 0};
    bool log_problem = false;
    // After a change: the hive as written, which every read takes from then.
    std::vector<unsigned char> image;
    // What a read of the file last failed with.
    std::uint32_t read_code = 0;
    // Counts loads and changes: a key's cell found before is found again.
    std::uint32_t generation = 0;
};

Hive hives[2];  // RegistryRoot::hive_file, RegistryRoot::software_file

struct KeyEntry {
    RegistryRoot root;
    std::u16string path;
    std::uint32_t offset;
    std::uint32_t generation;
};

std::vector<KeyEntry> keys;

// The last value read whole, so that asking its size and then its data
// reads it once.
struct ValueCache {
    RegistryKey key = 0;
    std::u16string name;
    std::uint32_t generation = 0;
    std::uint32_t type = 0;
    std::vector<unsigned char> data;
};

ValueCache cached;

std::u16string damage_text;

Hive* hive_of(RegistryRoot root) {
    if (root == RegistryRoot::hive_file) return &hives[0];
    if (root == RegistryRoot::software_file) return &hives[1];
    return nullptr;
}

std::uint32_t bins_size(const Hive& hive) { return hive_word(hive.base, HIVE_BINS_SIZE); }

// Bytes of the file itself, all of them or a failure.
bool read_file(Hive* hive, std::uint64_t offset, unsigned char* out, std::size_t length) {
    std::size_t got = 0;
    std::uint32_t code = hive->calls.read(hive->calls.context, offset, out, length, &got);
    if (code == ERROR_CODE_SUCCESS && got == length) return true;
    hive->read_code = code != ERROR_CODE_SUCCESS ? code : HIVE_CUT_SHORT;
    return false;
}

// The hive's bytes as Windows would load it: the base block as recovered,
// a log's sector where one stands, else the file's, and zeros where the
// hive grew past what the file holds.
bool read_hive_bytes(void* context, std::uint64_t offset, unsigned char* out, std::size_t length) {
    Hive* hive = static_cast<Hive*>(context);
    std::uint64_t end = offset + length;
    if (!hive->image.empty()) {
        if (end > hive->image.size()) return false;
        std::memcpy(out, hive->image.data() + offset, length);
        return true;
    }
    if (end > hive->overlay.size) return false;
    while (offset < end) {
        std::uint64_t sector = offset / SECTOR * SECTOR;
        std::size_t chunk = static_cast<std::size_t>((sector + SECTOR < end ? sector + SECTOR : end) - offset);
        const unsigned char* logged = sector < HIVE_BASE_BLOCK ? nullptr : overlay_sector(hive->overlay, sector);
        if (offset < HIVE_BASE_BLOCK) {
            chunk = static_cast<std::size_t>((end < HIVE_BASE_BLOCK ? end : HIVE_BASE_BLOCK) - offset);
            std::memcpy(out, hive->base + offset, chunk);
        } else if (logged != nullptr) {
            std::memcpy(out, logged + (offset - sector), chunk);
        } else if (offset >= hive->overlay.zeros_from) {
            std::memset(out, 0, chunk);
        } else {
            // The file's sectors that follow each other, in one read.
            std::uint64_t run_end = sector + SECTOR;
            while (run_end < end && run_end < hive->overlay.zeros_from &&
                   overlay_sector(hive->overlay, run_end) == nullptr)
                run_end += SECTOR;
            if (run_end > end) run_end = end;
            if (run_end > hive->overlay.zeros_from) run_end = hive->overlay.zeros_from;
            chunk = static_cast<std::size_t>(run_end - offset);
            if (!read_file(hive, offset, out, chunk)) return false;
        }
        out += chunk;
        offset += chunk;
    }
    return true;
}

CellRead read_cell(void* context, std::uint32_t offset, CellBody* body) {
    Hive* hive = static_cast<Hive*>(context);
    return read_cell_from(HiveBytes{hive, read_hive_bytes, bins_size(*hive)}, offset, body);
}

HiveCells cells_of(Hive* hive) { return HiveCells{hive, read_cell, hive_word(hive->base, HIVE_MINOR_VERSION)}; }

std::uint32_t code_of(const Hive& hive, HiveFault fault, std::uint32_t otherwise) {
    return fault == HiveFault::read_failed ? hive.read_code : otherwise;
}

void append(char16_t* text, std::size_t capacity, const char16_t* more, std::size_t length) {
    std::size_t used = 0;
    while (text[used] != u'\0') ++used;
    for (std::size_t i = 0; i < length && used + 1 < capacity; ++i) text[used++] = more[i];
    text[used] = u'\0';
}

void append(char16_t* text, std::size_t capacity, const char* ascii) {
    for (; *ascii != '\0'; ++ascii) {
        const char16_t unit = static_cast<unsigned char>(*ascii);
        append(text, capacity, &unit, 1);
    }
}

// Says which log could not be read, and why, in the words of the body.
void tell_log_problem(HiveLoad* load, const std::u16string& name, std::uint32_t code) {
    const std::size_t capacity = sizeof load->log_problem / sizeof load->log_problem[0];
    if (load->log_problem[0] != u'\0') append(load->log_problem, capacity, "; ");
    if (code == HIVE_LOG_AMBIGUOUS) {
        append(load->log_problem, capacity, "the transaction logs ");
        append(load->log_problem, capacity, name.data(), name.size());
        append(load->log_problem, capacity, " have names that differ only in case, and only one can be Windows' log");
        return;
    }
    append(load->log_problem, capacity, "the transaction log ");
    append(load->log_problem, capacity, name.data(), name.size());
    append(load->log_problem, capacity, " could not be read (");
    const char16_t* reason = system_error_units(code);
    std::size_t length = 0;
    while (reason[length] != u'\0' && reason[length] != u'\r' && reason[length] != u'\n') ++length;
    while (length > 0 && reason[length - 1] == u'.') --length;
    append(load->log_problem, capacity, reason, length);
    append(load->log_problem, capacity, ")");
}

// Reads the base block, then the logs where they matter, and recovers.
std::uint32_t read_hive(Hive* hive, bool write, HiveLoad* load) {
    *load = HiveLoad{};
    hive->image.clear();
    hive->overlay = HiveOverlay{};
    hive->log_problem = false;
    hive->generation += 1;
    std::size_t got = 0;
    std::uint32_t code = hive->calls.read(hive->calls.context, 0, hive->base, HIVE_BASE_BLOCK, &got);
    if (code != ERROR_CODE_SUCCESS) return code;
    if (got < 4 || std::memcmp(hive->base, "regf", 4) != 0) return HIVE_NOT_A_HIVE;
    if (got < HIVE_BASE_BLOCK) return HIVE_TRUNCATED;
    if (base_block_checksum(hive->base) != hive_word(hive->base, HIVE_CHECKSUM)) return HIVE_BAD_CHECKSUM;
    std::uint32_t bins = bins_size(*hive);
    if (bins == 0 || bins % HIVE_PAGE != 0 || bins > MAX_HIVE_BINS) return HIVE_CORRUPT;
    // No more than the hive: a file longer than its header says (a sparse
    // giant, a disk's slack) is read no further.
    std::uint64_t declared = HIVE_BASE_BLOCK + std::uint64_t{bins};
    std::uint64_t length = hive->calls.length(hive->calls.context);
    hive->file_end = length < declared ? length : declared;
    hive->overlay.size = hive->overlay.zeros_from = static_cast<std::size_t>(declared);

    bool dirty = hive_word(hive->base, HIVE_SEQUENCE_1) != hive_word(hive->base, HIVE_SEQUENCE_2);
    for (int i = 0; i < 2; ++i) {
        hive->logs[i] = HiveLog{nullptr, 0};
        std::u16string name;
        code = dirty || write
                   ? hive->calls.read_log(hive->calls.context, i, &hive->logs[i].bytes, &hive->logs[i].length, &name)
                   : ERROR_CODE_FILE_NOT_FOUND;
        if (code == ERROR_CODE_SUCCESS) continue;
        hive->logs[i] = HiveLog{nullptr, 0};
        if (code == ERROR_CODE_FILE_NOT_FOUND) continue;
        hive->log_problem = true;
        tell_log_problem(load, name, code);
    }
    // A log that could not be read may hold the entries that come first:
    // none of them is applied then, rather than a state Windows never loads.
    const HiveLog logs[2] = {{hive->logs[0].bytes, hive->log_problem ? 0 : hive->logs[0].length},
                             {hive->logs[1].bytes, hive->log_problem ? 0 : hive->logs[1].length}};
    bool failed = false;
    hive->recovery = recover_hive(hive->base, overlay_target(&hive->overlay), logs, &failed);
    finish_overlay(&hive->overlay);
    load->unclean = hive->recovery.state == HiveState::not_recovered;
    load->entries_applied = hive->recovery.state == HiveState::recovered ? hive->recovery.entries_applied : 0;
    // Every sector of the hive the file should hold, and no log does, must
    // be in the file.
    std::uint64_t needed =
        hive->overlay.zeros_from < hive->overlay.size ? hive->overlay.zeros_from : hive->overlay.size;
    for (std::uint64_t sector = hive->file_end / SECTOR * SECTOR; sector < needed; sector += SECTOR) {
        if (sector < HIVE_BASE_BLOCK || overlay_sector(hive->overlay, sector) == nullptr) return HIVE_CUT_SHORT;
    }
    return ERROR_CODE_SUCCESS;
}

// The key's cell, found from the root each time the hive was read anew.
std::uint32_t find_key(Hive* hive, const std::u16string& path, std::uint32_t* offset) {
    HiveCells cells = cells_of(hive);
    *offset = hive_word(hive->base, HIVE_ROOT_CELL);
    CellBody nk;
    HiveFault fault = read_key(cells, *offset, &nk);
    for (std::size_t start = 0; fault == HiveFault::none && start < path.size();) {
        std::size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end > start) {
            fault = find_subkey(cells, nk, path.data() + start, end - start, offset);
            if (fault == HiveFault::none && *offset == NO_CELL) return ERROR_CODE_FILE_NOT_FOUND;
            if (fault == HiveFault::none) fault = read_key(cells, *offset, &nk);
        }
        start = end + 1;
    }
    return fault == HiveFault::none ? ERROR_CODE_SUCCESS : code_of(*hive, fault, HIVE_DAMAGED_KEYS);
}

// The key's hive and its cell.
std::uint32_t key_cell(RegistryKey key, Hive** hive, CellBody* nk) {
    std::size_t index = static_cast<std::size_t>(key >> 1);
    if (!is_hive_key(key) || index == 0 || index > keys.size()) return ERROR_CODE_FILE_NOT_FOUND;
    KeyEntry& entry = keys[index - 1];
    *hive = hive_of(entry.root);
    if (!(*hive)->loaded) return ERROR_CODE_FILE_NOT_FOUND;
    if (entry.generation != (*hive)->generation) {
        std::uint32_t code = find_key(*hive, entry.path, &entry.offset);
        if (code != ERROR_CODE_SUCCESS) return code;
        entry.generation = (*hive)->generation;
    }
    HiveFault fault = read_key(cells_of(*hive), entry.offset, nk);
    return fault == HiveFault::none ? ERROR_CODE_SUCCESS : code_of(**hive, fault, HIVE_DAMAGED_KEYS);
}

std::uint32_t value_cell(RegistryKey key, const char16_t* name, Hive** hive, std::uint32_t* offset, CellBody* vk) {
    CellBody nk;
    std::uint32_t code = key_cell(key, hive, &nk);
    if (code != ERROR_CODE_SUCCESS) return code;
    std::size_t length = 0;
    while (name[length] != u'\0') ++length;
    HiveFault fault = find_value(cells_of(*hive), nk, name, length, offset, vk);
    if (fault != HiveFault::none) return code_of(**hive, fault, HIVE_DAMAGED_VALUES);
    return *offset == NO_CELL ? ERROR_CODE_FILE_NOT_FOUND : ERROR_CODE_SUCCESS;
}

// The whole hive in memory, as it would be loaded, with room to grow.
bool read_whole(Hive* hive, std::vector<unsigned char>* image) {
    std::size_t size = HIVE_BASE_BLOCK + bins_size(*hive);
    image->reserve(size + WRITE_ROOM);
    image->resize(size);
    return read_hive_bytes(hive, 0, image->data(), size);
}

}  // namespace

const char* hive_code_text(std::uint32_t code) {
    switch (code) {
        case HIVE_NOT_A_HIVE:
            return "not a registry hive file (it does not begin with a regf header)";
        case HIVE_TRUNCATED:
            return "the hive file is truncated";
        case HIVE_BAD_CHECKSUM:
            return "the hive's header is damaged (its checksum is wrong)";
        case HIVE_CORRUPT:
            return "the hive is corrupt or truncated: its keys cannot be read";
        case HIVE_VALUE_TOO_LARGE:
            return "the value is larger than a hive can hold; nothing was changed";
        case HIVE_CUT_SHORT:
            return "the hive file is cut short: it holds less than its header says the hive has";
        case HIVE_STILL_DIRTY:
            return "the hive was not closed cleanly and its transaction logs do not bring it up to date; nothing was "
                   "changed";
        case HIVE_DAMAGED_KEYS:
            return "the hive is damaged: the keys on the way to the pending operations cannot be read";
        case HIVE_DAMAGED_VALUES:
            return "the hive is damaged: the values of the key that holds the pending operations cannot be read";
        case HIVE_CHANGED:
            return "another program changed the hive file while it was read; nothing was read from it";
        case HIVE_SEQUENCE_EXHAUSTED:
            return "the hive's sequence numbers have reached their end, which no hive Windows wrote does; nothing was "
                   "changed";
        case HIVE_LOG_UNREADABLE:
            return "a transaction log beside the hive could not be read, so its changes could be lost; nothing was "
                   "changed";
        case HIVE_LOG_AMBIGUOUS:
            return "two files beside the hive could be one transaction log";
        case HIVE_LOG_TOO_LARGE:
            return "larger than any transaction log Windows writes";
        case HIVE_FOLDER:
            return "a folder, not a hive file";
        case HIVE_NOT_A_FILE:
            return "not a regular file";
        case HIVE_LOG_CHANGING:
            return "it kept changing while it was read";
        case ERROR_CODE_VALUE_UNREADABLE:
            return "the value is stored in a form Windows does not read (its cells disagree with its size), so the "
                   "restart carries out none of it";
        default:
            return nullptr;
    }
}

std::uint32_t load_hive(RegistryRoot root, const HiveFileCalls& calls, bool write, HiveLoad* load) {
    Hive* hive = hive_of(root);
    if (hive->loaded) hive->calls.close(hive->calls.context);
    hive->calls = calls;
    hive->loaded = true;
    return read_hive(hive, write, load);
}

bool hive_file_loaded() { return hives[0].loaded; }

const char16_t* hive_damage_units() { return damage_text.c_str(); }

void release_hives() {
    for (Hive& hive : hives) {
        if (hive.loaded) hive.calls.close(hive.calls.context);
        hive = Hive{};
    }
    keys.clear();
    cached = ValueCache{};
}

std::uint32_t hive_open_key(RegistryRoot root, const char16_t* path, RegistryKey* key) {
    *key = 0;
    Hive* hive = hive_of(root);
    if (hive == nullptr || !hive->loaded) return ERROR_CODE_FILE_NOT_FOUND;
    KeyEntry entry{root, path, 0, hive->generation};
    std::uint32_t code = find_key(hive, entry.path, &entry.offset);
    if (code != ERROR_CODE_SUCCESS) return code;
    keys.push_back(entry);
    *key = static_cast<RegistryKey>(keys.size()) << 1 | 1;
    return ERROR_CODE_SUCCESS;
}

std::uint32_t hive_query_value(RegistryKey key, const char16_t* name, std::uint32_t* type, unsigned char* data,
                               std::uint32_t* size) {
    Hive* hive = nullptr;
    std::u16string wanted = name;
    std::size_t index = static_cast<std::size_t>(key >> 1);
    bool known = cached.key == key && cached.name == wanted && index >= 1 && index <= keys.size() &&
                 cached.generation == hive_of(keys[index - 1].root)->generation;
    if (!known) {
        std::uint32_t offset = 0;
        CellBody vk;
        std::uint32_t code = value_cell(key, name, &hive, &offset, &vk);
        if (code != ERROR_CODE_SUCCESS) return code;
        HiveFault fault = read_value_data(cells_of(hive), vk, &cached.data);
        cached.key = 0;
        // Nothing another program wrote meanwhile is taken for part of the
        // hive: everything read so far came from the file as it was opened.
        if (hive->image.empty() && !hive->calls.unchanged(hive->calls.context)) return HIVE_CHANGED;
        if (fault == HiveFault::value_data) return ERROR_CODE_VALUE_UNREADABLE;
        if (fault != HiveFault::none) return code_of(*hive, fault, HIVE_DAMAGED_VALUES);
        cached = ValueCache{key, wanted, hive->generation, value_type(vk), std::move(cached.data)};
    }
    std::uint32_t stored = static_cast<std::uint32_t>(cached.data.size());
    *type = cached.type;
    if (data != nullptr && *size < stored) {
        *size = stored;
        return ERROR_CODE_MORE_DATA;
    }
    if (data != nullptr && stored > 0) std::memcpy(data, cached.data.data(), stored);
    *size = stored;
    return ERROR_CODE_SUCCESS;
}

std::uint32_t hive_enum_value(RegistryKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) {
    Hive* hive = nullptr;
    CellBody nk;
    std::uint32_t code = key_cell(key, &hive, &nk);
    if (code != ERROR_CODE_SUCCESS) return code;
    struct Walk {
        std::uint32_t index;
        std::uint32_t offset;
    } walk{index, NO_CELL};
    HiveCells cells = cells_of(hive);
    HiveFault fault = for_each_value(
        cells, nk,
        [](void* context, std::uint32_t offset) {
            Walk* at = static_cast<Walk*>(context);
            if (at->index-- > 0) return true;
            at->offset = offset;
            return false;
        },
        &walk);
    CellBody vk;
    if (fault == HiveFault::none && walk.offset == NO_CELL) return ERROR_CODE_NO_MORE_ITEMS;
    if (fault == HiveFault::none) fault = read_value(cells, walk.offset, &vk);
    if (fault != HiveFault::none) return code_of(*hive, fault, HIVE_DAMAGED_VALUES);
    std::vector<char16_t> units = value_name(vk);
    if (units.size() + 1 > *length) return ERROR_CODE_MORE_DATA;
    if (!units.empty()) std::memcpy(name, units.data(), units.size() * sizeof(char16_t));
    name[units.size()] = u'\0';
    *length = static_cast<std::uint32_t>(units.size());
    return ERROR_CODE_SUCCESS;
}

std::uint32_t hive_set_value(RegistryKey key, const char16_t* name, std::uint32_t type, const unsigned char* data,
                             std::uint32_t size) {
    Hive* hive = nullptr;
    std::uint32_t offset = 0;
    CellBody vk;
    std::uint32_t code = value_cell(key, name, &hive, &offset, &vk);
    if (code != ERROR_CODE_SUCCESS) return code;
    std::vector<unsigned char> image;
    if (!read_whole(hive, &image)) return hive->read_code;
    HiveDamage damage{};
    ValueWrite written = write_value_data(&image, HIVE_BASE_BLOCK + offset, type, data, size, &damage);
    if (written == ValueWrite::damaged) damage_text = hive_damage_text(damage) + u"; nothing was changed";
    if (written != ValueWrite::written) return written == ValueWrite::too_large ? HIVE_VALUE_TOO_LARGE : HIVE_DAMAGED;
    // Above every number of the file and its logs, so that no log applies
    // to the hive written; there is none above the last.
    if (hive->recovery.highest_sequence == 0xFFFFFFFFu) return HIVE_SEQUENCE_EXHAUSTED;
    std::uint32_t sequence = hive->recovery.highest_sequence + 1;
    put_hive_word(image.data(), HIVE_SEQUENCE_1, sequence);
    put_hive_word(image.data(), HIVE_SEQUENCE_2, sequence);
    put_hive_word(image.data(), HIVE_CHECKSUM, base_block_checksum(image.data()));
    code = hive->calls.replace(hive->calls.context, image.data(), image.size());
    if (code != ERROR_CODE_SUCCESS) return code;
    std::memcpy(hive->base, image.data(), HIVE_BASE_BLOCK);
    hive->image = std::move(image);
    hive->generation += 1;
    cached.key = 0;
    return ERROR_CODE_SUCCESS;
}

std::uint32_t hive_lock(LockToken* token) {
    *token = 0;
    Hive* hive = &hives[0];
    if (!hive->loaded) return ERROR_CODE_FILE_NOT_FOUND;
    std::uint32_t code = hive->calls.lock(hive->calls.context);
    if (code != ERROR_CODE_SUCCESS) return code;
    HiveLoad load{};
    code = read_hive(hive, true, &load);
    if (code == ERROR_CODE_SUCCESS && hive->log_problem) code = HIVE_LOG_UNREADABLE;
    if (code == ERROR_CODE_SUCCESS && load.unclean) code = HIVE_STILL_DIRTY;
    if (code != ERROR_CODE_SUCCESS) {
        hive->calls.unlock(hive->calls.context);
        return code;
    }
    *token = 1;
    return ERROR_CODE_SUCCESS;
}

void hive_unlock(LockToken token) {
    if (token != 0 && hives[0].loaded) hives[0].calls.unlock(hives[0].calls.context);
}
