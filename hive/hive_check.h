// The check of a whole hive before a write changes a byte of it: every bin
// and cell walked; from the root key, every key, its subkey lists, class
// name and security cell, its value list, every value and the cells of its
// data, each found as Windows finds it; and every cell claimed by one key,
// list or value only (security cells, which keys share by design, aside). A
// cell two of them claim would be freed by a write while the other still
// uses it. Pure work on bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What is damaged.
enum class HivePart {
    none,
    bins,         // the base block's hive-bins size, a bin or a cell's size
    key,          // a key's cell ("nk")
    subkey_list,  // a key's list of subkeys ("lf", "lh", "li", or "ri" holding those)
    value_list,   // a key's list of values
    value,        // a value's cell ("vk")
    value_data,   // the cells of a value's data
    class_name,   // a key's class name
    security,     // a key's security cell ("sk")
};

// How it is damaged.
enum class HiveDamageKind {
    none,
    bins_size,      // the hive-bins size is no whole pages, or runs past the image
    bad_bin,        // a bin's header is wrong: its signature, its offset or its size
    bad_cell_size,  // a cell's size is under 8 bytes (0 among them) or no whole words
    cell_past_bin,  // a cell runs past the end of its bin
    outside,        // the offset lies outside the hive bins
    not_a_cell,     // the offset names no used cell (free space, or the middle of a cell)
    not_whole,      // the cell is not what it must be, or too small for it (a name or count past its cell)
    list_itself,    // a list of lists ("ri") holds itself
    list_loop,      // a list of lists holds another, which holds it back
    list_nested,    // a list of lists holds another, which Windows does not read
    shared,         // a cell that something else claims too
    segment_count,  // big data whose count of segments disagrees with the size
    one_cell_big,   // more than 16,344 bytes in one cell, which Windows reads as big data from format 1.4 on
    big_data_old,   // big data in a format 1.3 hive, which Windows reads as one cell
    not_listed,     // the value to be written is in no key's list
};

struct HiveDamage {
    HiveDamageKind kind;
    HivePart part;
    std::size_t offset;  // the file offset of the cell, or the one the part points at
    // Where: the key's path below the root ('\' between names, empty for the
    // root key) and the value's name (empty when it cannot be read).
    std::u16string key;
    std::u16string value;
    // For a shared cell: what claimed it first.
    HivePart other_part;
    std::u16string other_key;
    std::u16string other_value;
};

// Free cells side by side in one bin, taken as one free cell of their whole
// size; `changed` is for a writer that changes them.
struct HiveFreeRun {
    std::size_t at;  // file offset
    std::size_t size;
    bool changed;
};

// What the walk of the bins found.
struct HiveSpace {
    std::size_t end;  // the file offset after the last bin
    std::uint32_t minor;
    std::vector<std::uint32_t> used_cells;  // file offsets, ascending
    std::vector<HiveFreeRun> free_runs;     // ascending
};

// Checks the hive in `image` (base block first) before the value whose "vk"
// cell is at file offset `vk` is written (0: before any write). In the key
// of that value ("the key written") every value must be one Windows reads;
// elsewhere a value whose data Windows cannot read is no damage, since
// writing another value cannot make it worse, but its cells are claimed all
// the same. Gives the first damage found (kind none for a sound hive), and
// fills `space` for the write.
HiveDamage check_hive(const std::vector<unsigned char>& image, std::size_t vk, HiveSpace* space);

// One line, in UTF-16, that names what is damaged and where: "the hive is
// damaged: ..." or, for a value Windows cannot read, "Windows cannot read
// the value ...". Without a line end.
std::u16string hive_damage_text(const HiveDamage& damage);
