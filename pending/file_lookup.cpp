#include "pending/file_lookup.h"

#include <cstdint>
#include <cstring>

#include "pending/name_fold_table.h"

namespace {

// Codes by which the file system says that nothing is at a name: not found,
// no such folder, drive, share or network path, or no valid name at all.
const std::uint32_t NOTHING_THERE[] = {2, 3, 15, 53, 67, 123, 161, 206};
// Something is there, though it cannot be looked at (a paging file).
constexpr std::uint32_t ERROR_CODE_SHARING_VIOLATION = 32;

bool is_letter(char16_t unit) { return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z'); }

bool drive_name(const char16_t* name, std::uint32_t length) {
    return length >= 3 && is_letter(name[0]) && name[1] == u':' && name[2] == u'\\';
}

bool behind_nt_prefix(const char16_t* at, OperationCursor start) {
    return start >= 4 && at[-4] == u'\\' && at[-3] == u'?' && at[-2] == u'?' && at[-1] == u'\\';
}

}  // namespace

std::uint32_t look_up_name(const Platform& platform, PendingValue& value, StoredName name) {
    char16_t* at = value.units + name.start;
    bool prefixed = behind_nt_prefix(at, name.start);
    bool unc = name.length >= 2 && at[0] == u'\\' && at[1] == u'\\';
    if (!prefixed && !drive_name(at, name.length) && !unc) return NAME_NOT_LOOKED_UP;
    if (prefixed) {
        at -= 4;
        at[1] = u'\\';
    }
    std::uint32_t attributes = 0;
    std::uint32_t status = platform.files.file_attributes(platform.files.context, at, &attributes);
    if (prefixed) at[1] = u'?';
    return status;
}

const char* existence_text(std::uint32_t lookup) {
    if (lookup == ERROR_CODE_SUCCESS || lookup == ERROR_CODE_SHARING_VIOLATION) return "true";
    for (std::uint32_t code : NOTHING_THERE) {
        if (lookup == code) return "false";
    }
    return "null";
}

namespace {

// How a drive-letter name reads. The restart and a lookup may read a name
// two ways when a component ends in a dot or a blank (Win32, and Wine's
// restart, drop them; Windows' restart keeps them), is "." or "..", or a
// '/' stands in it. Another spelling may name the same file when a
// component is empty or holds a '~' (a short name such as PROGRA~1).
enum class NameReading { plain, two_ways, other_spellings };

NameReading name_reading(const char16_t* name, std::uint32_t length) {
    if (!drive_name(name, length)) return NameReading::other_spellings;
    bool other_spellings = false;
    std::uint32_t start = 3;  // past "X:\"
    for (std::uint32_t at = 3; at <= length; ++at) {
        char16_t unit = at < length ? name[at] : u'\\';
        if (unit == u'/') return NameReading::two_ways;
        if (unit == u'~') other_spellings = true;
        if (unit != u'\\') continue;
        if (at == start) other_spellings = true;
        if (at > start && (name[at - 1] == u'.' || name[at - 1] == u' ')) return NameReading::two_ways;
        start = at + 1;
    }
    return other_spellings ? NameReading::other_spellings : NameReading::plain;
}

// The unit a name is hashed by, so that names the file system takes for one
// hash alike whatever its table (each unit in its simple upper case, by the
// Unicode version of the system or of the volume): the units that any such
// table may join become one unit, and so do the letters that a later table
// may give a partner. Names that differ in letters of any script hash
// apart, so that a chain of such names costs no more than ASCII ones. ASCII
// is folded here, the rest by the runs of FOLD_RUNS.
std::uint32_t hash_unit(char16_t unit) {
    if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? unit - 0x20u : unit;
    std::size_t low = 0;
    std::size_t high = sizeof FOLD_RUNS / sizeof FOLD_RUNS[0];
    while (low < high) {
        std::size_t middle = (low + high) / 2;
        if (FOLD_RUNS[middle].first <= unit) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == 0 || unit > FOLD_RUNS[low - 1].last) return unit;
    const FoldRun& run = FOLD_RUNS[low - 1];
    if (run.kind == FoldKind::same) return run.value;
    if (run.kind == FoldKind::add_alternate && (unit - run.first) % 2 != 0) return unit;
    return (unit + run.value) & 0xFFFFu;
}

constexpr std::uint32_t HASH_START = 2166136261u;
constexpr std::uint32_t HASH_PRIME = 16777619u;

std::uint32_t hash_step(std::uint32_t hash, char16_t unit) { return (hash ^ hash_unit(unit)) * HASH_PRIME; }

std::uint32_t hash_name(std::uint32_t hash, std::uint32_t length) { return (hash ^ length) * HASH_PRIME; }

bool known_target(const Platform& platform, const EarlierTargets& earlier, const char16_t* name, std::uint32_t length,
                  std::uint32_t hash) {
    if (earlier.slots == nullptr) return false;
    for (std::size_t at = hash & earlier.mask;; at = (at + 1) & earlier.mask) {
        const TargetSlot& slot = earlier.slots[at];
        if (slot.name == nullptr) return false;
        if (slot.hash == hash && slot.length == length &&
            platform.files.same_name(platform.files.context, slot.name, length, name, length)) {
            return true;
        }
    }
}

// Whether an earlier move may create the source `name`: a move onto it, or
// onto a folder it lies in.
bool created_earlier(const Platform& platform, const EarlierTargets& earlier, const char16_t* name,
                     std::uint32_t length, NameReading reading) {
    if (!earlier.any_move) return false;
    if (earlier.any_name || reading != NameReading::plain) return true;
    std::uint32_t hash = HASH_START;
    for (std::uint32_t at = 0; at <= length; ++at) {
        bool whole = at == length || name[at] == u'\\';
        if (whole && at > 3 && known_target(platform, earlier, name, at, hash_name(hash, at))) return true;
        if (at < length) hash = hash_step(hash, name[at]);
    }
    return false;
}

}  // namespace

std::size_t count_moves(const PendingValue& value) {
    std::size_t moves = 0;
    OperationCursor cursor = 0;
    Operation operation;
    while (next_operation(value, &cursor, &operation)) moves += operation.kind == OperationKind::move ? 1 : 0;
    return moves;
}

bool start_earlier_targets(const Platform& platform, std::size_t moves, EarlierTargets* earlier) {
    *earlier = EarlierTargets{};
    if (moves == 0) return true;
    // At most half full, so that a search always meets a free slot soon.
    std::size_t slots = 16;
    while (slots < moves * 2) {
        if (slots > SIZE_MAX / 2 / sizeof(TargetSlot)) return false;
        slots *= 2;
    }
    void* table = platform.heap.allocate(platform.heap.context, slots * sizeof(TargetSlot));
    if (table == nullptr) return false;
    std::memset(table, 0, slots * sizeof(TargetSlot));
    earlier->slots = static_cast<TargetSlot*>(table);
    earlier->mask = slots - 1;
    return true;
}

void release_earlier_targets(const Platform& platform, EarlierTargets* earlier) {
    if (earlier->slots != nullptr) platform.heap.release(platform.heap.context, earlier->slots);
    *earlier = EarlierTargets{};
}

void add_earlier_target(EarlierTargets* earlier, const PendingValue& value, const Operation& operation) {
    if (operation.kind != OperationKind::move) return;
    earlier->any_move = true;
    const char16_t* name = value.units + operation.target.start;
    std::uint32_t length = operation.target.length;
    // A table without room takes the target for any name, as one that
    // cannot be compared: never a wrong "gone".
    if (name_reading(name, length) != NameReading::plain || (earlier->used + 1) * 2 > earlier->mask + 1) {
        earlier->any_name = true;
        return;
    }
    std::uint32_t hash = HASH_START;
    for (std::uint32_t at = 0; at < length; ++at) hash = hash_step(hash, name[at]);
    hash = hash_name(hash, length);
    std::size_t at = hash & earlier->mask;
    while (earlier->slots[at].name != nullptr) at = (at + 1) & earlier->mask;
    earlier->slots[at] = TargetSlot{name, length, hash};
    ++earlier->used;
}

bool operation_is_stale(const Platform& platform, PendingValue& value, const Operation& operation,
                        const EarlierTargets& earlier) {
    const char16_t* name = value.units + operation.source.start;
    std::uint32_t length = operation.source.length;
    if (!drive_name(name, length)) return false;
    NameReading reading = name_reading(name, length);
    if (reading == NameReading::two_ways) return false;
    if (created_earlier(platform, earlier, name, length, reading)) return false;
    // A drive that is not there now may be a volume not mounted or locked.
    const char16_t root[] = {name[0], u':', u'\\', u'\0'};
    std::uint32_t attributes = 0;
    if (platform.files.file_attributes(platform.files.context, root, &attributes) != ERROR_CODE_SUCCESS) return false;
    std::uint32_t lookup = look_up_name(platform, value, operation.source);
    return lookup == ERROR_CODE_FILE_NOT_FOUND || lookup == ERROR_CODE_PATH_NOT_FOUND;
}

Judged judged_in(std::size_t which, const PendingValue& first, bool second_exists) {
    if (which == 0) return second_exists ? Judged::all_but_a_lone_source : Judged::every_operation;
    return ends_in_lone_source(first) ? Judged::no_operation : Judged::every_operation;
}

bool judge_operation(const Platform& platform, EarlierTargets* earlier, PendingValue& value, const Operation& operation,
                     Judged judged) {
    bool judge = judged == Judged::every_operation || (judged == Judged::all_but_a_lone_source && operation.has_target);
    bool stale = judge && operation_is_stale(platform, value, operation, *earlier);
    add_earlier_target(earlier, value, operation);
    return stale;
}
