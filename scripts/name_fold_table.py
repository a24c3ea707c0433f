#!/usr/bin/env python3
"""Writes pending/name_fold_table.h: the unit each UTF-16 unit of a name is
hashed by when stale operations are judged (pending/file_lookup.cpp).

Usage: name_fold_table.py [OUT]

Two names that the file system takes for one must hash alike. File systems
and CompareStringOrdinal compare names unit by unit, each through a table of
simple upper case mappings, and those tables differ by the Unicode version
and the vendor. So units are grouped with every unit that any of the tables
found here joins them with, in either direction (upper, lower, title and
case-folded forms of one unit each, surrogates left alone): Python's own
Unicode data, the C library's towupper/towlower in C.UTF-8, and Wine's
l_intl.nls when it is installed. Each group is hashed by one member, its
least capital letter when it has one.

A later version of Unicode may give a partner to a letter that has none yet,
or to a unit not assigned yet, and a newer system's table would then join
them; all such units share one stand-in (0xFFFF), so that no table can part
what the hash joins. Scripts without case keep their units, as do private
use units.

The table is a sorted list of runs from 0x80 on (ASCII is folded in the
code): every unit of a run gets `value` added, or every other unit from
`first` (the others are left alone), or every unit becomes `value`.
"""
import bisect
import ctypes
import os
import struct
import sys
import unicodedata

STAND_IN = 0xFFFF
WINE_TABLE = "/usr/share/wine/nls/l_intl.nls"
KIND_ADD, KIND_ADD_ALTERNATE, KIND_SAME = "FoldKind::add", "FoldKind::add_alternate", "FoldKind::same"


def surrogate(unit):
    return 0xD800 <= unit <= 0xDFFF


def python_pairs():
    for unit in range(0x10000):
        if surrogate(unit):
            continue
        for form in (str.upper, str.lower, str.title, str.casefold):
            other = form(chr(unit))
            if len(other) == 1 and ord(other) < 0x10000 and not surrogate(ord(other)):
                yield unit, ord(other)


def c_library_pairs():
    libc = ctypes.CDLL("libc.so.6")
    libc.newlocale.restype = ctypes.c_void_p
    libc.newlocale.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p]
    locale = libc.newlocale(1 << 0, b"C.UTF-8", None)  # LC_CTYPE_MASK
    if not locale:
        sys.exit("name_fold_table.py: no C.UTF-8 locale")
    for name in ("towupper_l", "towlower_l"):
        function = getattr(libc, name)
        function.restype = ctypes.c_uint32
        function.argtypes = [ctypes.c_uint32, ctypes.c_void_p]
        for unit in range(0x10000):
            other = function(unit, locale)
            if not surrogate(unit) and other < 0x10000:
                yield unit, other


def wine_pairs():
    if not os.path.exists(WINE_TABLE):
        return
    with open(WINE_TABLE, "rb") as f:
        data = f.read()
    words = struct.unpack(f"<{len(data) // 2}H", data[: len(data) // 2 * 2])
    for table in (words[2:], words[words[1] + 2 :]):
        for unit in range(0x10000):
            add = table[table[table[unit >> 8] + ((unit >> 4) & 0x0F)] + (unit & 0x0F)]
            yield unit, (unit + add) & 0xFFFF


def groups(pairs):
    parent = list(range(0x10000))

    def root(unit):
        while parent[unit] != unit:
            parent[unit] = parent[parent[unit]]
            unit = parent[unit]
        return unit

    joined = set()
    for left, right in pairs:
        if left != right:
            parent[root(left)] = root(right)
            joined.update((left, right))
    # Letters with case but no partner yet, and units not assigned yet among
    # letters with case (the same 256 units).
    cased = ("Lu", "Ll", "Lt")
    pages = {unit >> 8 for unit in joined} | {u >> 8 for u in range(0x10000) if unicodedata.category(chr(u)) in cased}
    for unit in range(0x80, 0x10000):
        if unit in joined or surrogate(unit):
            continue
        category = unicodedata.category(chr(unit))
        if category in cased or (category == "Cn" and unit >> 8 in pages):
            parent[root(unit)] = root(STAND_IN)
    members = {}
    for unit in range(0x10000):
        members.setdefault(root(unit), []).append(unit)
    fold = list(range(0x10000))
    for group in members.values():
        if STAND_IN in group:
            chosen = STAND_IN
        else:
            capitals = [u for u in group if unicodedata.category(chr(u)) == "Lu"]
            chosen = min(capitals or group)
        for unit in group:
            fold[unit] = chosen
    return fold


def runs(fold):
    def kind(unit):
        if fold[unit] == STAND_IN and unit != STAND_IN:
            return (KIND_SAME, STAND_IN)
        if fold[unit] == unit:
            return None
        return (KIND_ADD, (fold[unit] - unit) & 0xFFFF)

    found = []
    unit = 0x80
    while unit < 0x10000:
        this = kind(unit)
        if this is None:
            unit += 1
            continue
        last = unit
        while last + 1 < 0x10000 and kind(last + 1) == this:
            last += 1
        if this == (KIND_SAME, STAND_IN) and last == 0xFFFE:
            last = 0xFFFF
        if last == unit and this[0] == KIND_ADD:
            while last + 2 < 0x10000 and kind(last + 1) is None and kind(last + 2) == this:
                last += 2
            if last > unit:
                this = (KIND_ADD_ALTERNATE, this[1])
        found.append((unit, last, this[0], this[1]))
        unit = last + 1
    return found


def folded(table, unit):
    """The unit as file_lookup.cpp folds it with `table`."""
    if unit < 0x80:
        return unit - 0x20 if ord("a") <= unit <= ord("z") else unit
    at = bisect.bisect_right([run[0] for run in table], unit)
    if at == 0 or unit > table[at - 1][1]:
        return unit
    first, _, kind, value = table[at - 1]
    if kind == KIND_SAME:
        return value
    if kind == KIND_ADD_ALTERNATE and (unit - first) % 2 != 0:
        return unit
    return (unit + value) & 0xFFFF


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(here), "pending", "name_fold_table.h")
    sources = [("Python " + sys.version.split()[0] + ", Unicode " + unicodedata.unidata_version, python_pairs())]
    sources.append(("the C library's towupper/towlower in C.UTF-8", c_library_pairs()))
    if os.path.exists(WINE_TABLE):
        sources.append(("Wine's l_intl.nls", wine_pairs()))
    pairs = [pair for _, generated in sources for pair in generated]
    fold = groups(pairs)
    table = runs(fold)
    check = [folded(table, unit) for unit in range(0x10000)]
    for unit in range(0x10000):
        if check[unit] != fold[unit]:
            sys.exit(f"name_fold_table.py: the runs fold {unit:04X} wrongly")
    for left, right in pairs:
        if check[left] != check[right]:
            sys.exit(f"name_fold_table.py: {left:04X} and {right:04X} fold apart")
    lines = ["// Written by scripts/name_fold_table.py (which tells why) from:"]
    lines += [f"// - {name}" for name, _ in sources]
    lines += [
        "// The unit each unit of a name is hashed by, from 0x80 on.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "",
        "enum class FoldKind : std::uint16_t { add, add_alternate, same };",
        "",
        "struct FoldRun {",
        "    std::uint16_t first;",
        "    std::uint16_t last;",
        "    FoldKind kind;",
        "    std::uint16_t value;",
        "};",
        "",
        "// clang-format off",
        "constexpr FoldRun FOLD_RUNS[] = {",
    ]
    for first, last, kind, value in table:
        lines.append(f"    {{0x{first:04X}, 0x{last:04X}, {kind}, 0x{value:04X}}},")
    lines += ["};", "// clang-format on"]
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print(f"{len(table)} runs written to {out}")


if __name__ == "__main__":
    main()
