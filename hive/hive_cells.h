// The cells of a hive as Windows reads them: keys ("nk"), their subkey
// lists ("lf", "lh", "li", and "ri" holding those), their value lists,
// values ("vk") and the values' data. Pure work on bytes: the caller says
// where a cell's bytes come from (the file, a log's page standing over it,
// memory), and every size, count and offset read from a cell is checked
// against the cell before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hive/hive_format.h"

using CellBody = std::vector<unsigned char>;

enum class CellRead {
    read,
    // No used cell is there: the offset lies outside the hive bins, the
    // cell is free, or its size is under 8 bytes or runs past the bins.
    absent,
    failed,  // the bytes could not be had (the caller knows why)
};

// Where the cells come from.
struct HiveCells {
    void* context;
    // Copies the body of the used cell at `offset` (counted from the first
    // bin): the bytes after its size word, as many as its size says.
    CellRead (*read_cell)(void* context, std::uint32_t offset, CellBody* body);
    std::uint32_t minor;  // the hive's minor version, which decides big data
};

// What is wrong, where something is.
enum class HiveFault {
    none,
    read_failed,  // the source could not give a cell's bytes
    key,          // a key's cell is no whole "nk" (its name past its cell)
    subkey_list,  // a subkey list that is none, lies outside the hive, or holds a list of lists
    value_list,   // a key's value list is not there whole
    value,        // a value's cell is no whole "vk"
    value_data,   // a value's data is not where its size says (a cell too small, a "db" that disagrees)
};

// Whether a cell is a whole key ("nk") or value ("vk"): its fixed fields and
// its name inside it.
bool is_whole_key(const CellBody& nk);
bool is_whole_value(const CellBody& vk);

// The key at `offset`.
HiveFault read_key(const HiveCells& cells, std::uint32_t offset, CellBody* nk);
// The key's own name, compared as Windows compares names: each unit in
// upper case, a name stored in one byte a character (Latin-1) too.
bool key_name_is(const CellBody& nk, const char16_t* name, std::size_t length);
// The key's own name as UTF-16 units.
std::vector<char16_t> key_name(const CellBody& nk);

// Each subkey of the key, in the order of its lists: `visit` gets its
// offset, and ends the walk by giving false. An "ri" may hold only lists of
// keys, so no list can hold itself.
HiveFault for_each_subkey(const HiveCells& cells, const CellBody& nk, bool (*visit)(void* context, std::uint32_t key),
                          void* context);
// The subkey named `name`: its offset in `*found`, or NO_CELL when the key
// has none.
HiveFault find_subkey(const HiveCells& cells, const CellBody& nk, const char16_t* name, std::size_t length,
                      std::uint32_t* found);

// Each value of the key, in the order of its list.
HiveFault for_each_value(const HiveCells& cells, const CellBody& nk, bool (*visit)(void* context, std::uint32_t value),
                         void* context);
HiveFault read_value(const HiveCells& cells, std::uint32_t offset, CellBody* vk);
bool value_name_is(const CellBody& vk, const char16_t* name, std::size_t length);
// The value's name as UTF-16 units.
std::vector<char16_t> value_name(const CellBody& vk);
// The value named `name`: its cell in `*vk` and its offset in `*found`, or
// NO_CELL when the key has none.
HiveFault find_value(const HiveCells& cells, const CellBody& nk, const char16_t* name, std::size_t length,
                     std::uint32_t* found, CellBody* vk);

inline std::uint32_t value_type(const CellBody& vk) { return hive_word(vk.data(), VK_TYPE - 4); }
inline std::uint32_t value_size(const CellBody& vk) { return data_size(hive_word(vk.data(), VK_DATA_SIZE - 4)); }

// The cells that hold the value's data, as Windows finds them from its size
// and the hive's version: none for data in the value's own cell; one cell;
// or the "db" cell, its list of segments and the segments. `visit` gets each
// cell's offset, its body, and how many bytes of the data it holds (0 for
// the "db" cell and the list), and ends the walk by giving false. A cell too small for what it must hold, or a "db"
// cell whose count disagrees with the size, is HiveFault::value_data: Windows cannot read that value.
HiveFault for_each_data_cell(const HiveCells& cells, const CellBody& vk,
                             bool (*visit)(void* context, std::uint32_t offset, const CellBody& cell, std::size_t data),
                             void* context);
// The value's data, read as Windows reads it.
HiveFault read_value_data(const HiveCells& cells, const CellBody& vk, std::vector<unsigned char>* data);

// The hive's bytes as a body gives them: `read` copies `length` bytes at
// file offset `offset` (the base block is at 0), false when it cannot.
struct HiveBytes {
    void* context;
    bool (*read)(void* context, std::uint64_t offset, unsigned char* out, std::size_t length);
    std::uint32_t bins_size;  // the base block's hive-bins size
};

// A HiveCells::read_cell over those bytes: a used cell whose size word says
// it lies inside the hive bins.
CellRead read_cell_from(const HiveBytes& bytes, std::uint32_t offset, CellBody* cell);
