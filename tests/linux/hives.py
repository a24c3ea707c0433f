"""SYSTEM hive files for the Linux program's tests, made from scratch.

hivex cannot create a hive, so `empty_hive` writes one from the published
regf format: a 4 KiB base block (signature, two equal sequence numbers, an
XOR checksum of its first 508 bytes), and one 4 KiB hive bin holding the
root key, the security record every key refers to, and free space. hivex
then adds the keys and values (`system_hive`).
"""

import struct

import hivex

SESSION_MANAGER = "Control\\Session Manager"
VALUES = ("PendingFileRenameOperations", "PendingFileRenameOperations2")
REG_MULTI_SZ, REG_DWORD = 7, 4


def checksum(base):
    value = 0
    for (word,) in struct.iter_unpack("<I", base[:508]):
        value ^= word
    return {0: 1, 0xFFFFFFFF: 0xFFFFFFFE}.get(value, value)


def cell(body):
    """A used cell: its negative size, then the body, padded to 8 bytes."""
    size = (4 + len(body) + 7) // 8 * 8
    return struct.pack("<i", -size) + body + bytes(size - 4 - len(body))


def empty_hive(minor=5):
    root_at = 0x20  # cell offsets count from the first hive bin
    name = b"ROOT"
    sk_at = root_at + len(cell(bytes(0x4C + len(name))))
    nk = struct.pack("<2sHQIIIIIIIIIIIIIIIHH", b"nk", 0x2C, 0, 0, 0xFFFFFFFF, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF,
                     0, 0xFFFFFFFF, sk_at, 0xFFFFFFFF, 0, 0, 0, 0, 0, len(name), 0) + name
    descriptor = struct.pack("<BBHIIII", 1, 0, 0x8000, 0, 0, 0, 0)  # self-relative, nothing in it
    sk = struct.pack("<2sHIIII", b"sk", 0, sk_at, sk_at, 1, len(descriptor)) + descriptor
    cells = bytearray(4096 - 0x20)
    cells[0:len(cell(nk))] = cell(nk)
    cells[sk_at - 0x20:sk_at - 0x20 + len(cell(sk))] = cell(sk)
    free_at = sk_at - 0x20 + len(cell(sk))
    struct.pack_into("<i", cells, free_at, len(cells) - free_at)
    hbin = struct.pack("<4sIIQQI", b"hbin", 0, 4096, 0, 0, 0) + bytes(cells)
    base = bytearray(4096)
    struct.pack_into("<4sIIQIIIIIII", base, 0, b"regf", 1, 1, 0, 1, minor, 0, 1, root_at, 4096, 1)
    struct.pack_into("<I", base, 508, checksum(base))
    return bytes(base) + hbin


def set_header(path, **fields):
    """Changes header fields (seq1, seq2, minor) and puts the checksum right."""
    offsets = {"seq1": 4, "seq2": 8, "minor": 0x18}
    with open(path, "r+b") as f:
        base = bytearray(f.read(4096))
        for field, number in fields.items():
            struct.pack_into("<I", base, offsets[field], number)
        struct.pack_into("<I", base, 508, checksum(base))
        f.seek(0)
        f.write(base)


def utf16(text):
    return text.encode("utf-16-le", "surrogatepass")


def add_keys(h, node, keys):
    """Keys below NODE by their paths, each with its values (name -> (type, bytes))."""
    for path, values in keys.items():
        at = node
        for part in path.split("\\"):
            at = h.node_get_child(at, part) or h.node_add_child(at, part)
        for name, (kind, data) in values.items():
            h.node_set_value(at, {"key": name, "t": kind, "value": data})


# A key or value of each reason for a restart that SOFTWARE records.
SOFTWARE_REASONS = {
    "Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending": {},
    "Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired": {
        "3f1e9b7a-0001": (REG_DWORD, struct.pack("<I", 1))},
    "Microsoft\\Updates": {"UpdateExeVolatile": (REG_DWORD, struct.pack("<I", 1))},
    "Microsoft\\ServerManager": {"CurrentRebootAttempts": (REG_DWORD, struct.pack("<I", 2))},
    "Microsoft\\Windows\\CurrentVersion\\RunOnce": {"DVDRebootSignal": (3, b"\1\0\0\0")},
}


def software_hive(path, keys=SOFTWARE_REASONS):
    """A SOFTWARE hive holding KEYS (see add_keys), by default every reason for a restart it records."""
    with open(path, "wb") as f:
        f.write(empty_hive())
    h = hivex.Hivex(path, write=True)
    add_keys(h, h.root(), keys)
    h.commit(path)


def system_hive(path, current, sets, minor=5, extra=None, keys=None):
    """A SYSTEM hive: Select\\Current (a DWORD; None for no such value),
    and for each control set number the data of its two values (bytes, or
    None for an absent one), `extra` (name -> bytes of a REG_BINARY)
    beside them in Session Manager, and `keys` (see add_keys) in the set."""
    with open(path, "wb") as f:
        f.write(empty_hive(minor))
    h = hivex.Hivex(path, write=True)
    root = h.root()
    select = h.node_add_child(root, "Select")
    if current is not None:
        h.node_set_value(select, {"key": "Current", "t": REG_DWORD, "value": struct.pack("<I", current)})
    for number, values in sets.items():
        node = h.node_add_child(root, f"ControlSet{number:03d}")
        for part in SESSION_MANAGER.split("\\"):
            node = h.node_add_child(node, part)
        for name, data in zip(VALUES, values):
            if data is not None:
                h.node_set_value(node, {"key": name, "t": REG_MULTI_SZ, "value": data})
        for name, data in (extra or {}).items():
            h.node_set_value(node, {"key": name, "t": 3, "value": data})
        add_keys(h, h.node_get_child(root, f"ControlSet{number:03d}"), keys or {})
    h.commit(path)


def read_values(path, number):
    """The two values of a control set, as (type, bytes) or None."""
    h = hivex.Hivex(path)
    node = h.root()
    for part in (f"ControlSet{number:03d}\\" + SESSION_MANAGER).split("\\"):
        node = h.node_get_child(node, part)
    stored = {h.value_key(v): h.value_value(v) for v in h.node_values(node)} if node else {}
    return [stored.get(name) for name in VALUES]


def value_cell(path, number, name):
    """The file's bytes, the offset of the vk cell of a value of the set's Session Manager, the hive."""
    h = hivex.Hivex(path)
    node = h.root()
    for part in (f"ControlSet{number:03d}\\" + SESSION_MANAGER).split("\\"):
        node = h.node_get_child(node, part)
    return bytearray(open(path, "rb").read()), h.node_get_value(node, name), h


def big_value(path, number, name):
    """Stores the value as Windows stores more than 16,344 bytes from format 1.4 on (hivex writes one cell): a db
    cell, its list, segments of 16,344 bytes in cells of 16,352, in a hive bin appended; the old cell freed."""
    image, vk, h = value_cell(path, number, name)
    data, end = h.value_value(vk)[1], 4096 + struct.unpack_from("<I", image, 40)[0]
    parts = [data[at:at + 16344] for at in range(0, len(data), 16344)]
    db, listed = end - 4096 + 32, end - 4096 + 48  # after the bin's header, after the db cell
    first = listed + len(cell(bytes(4 * len(parts))))
    cells = cell(struct.pack("<2sHI", b"db", len(parts), listed)) + cell(struct.pack(f"<{len(parts)}I", *range(
        first, first + 16352 * len(parts), 16352))) + b"".join(cell(part + bytes(4)) for part in parts)
    size = (32 + len(cells) + 4095) // 4096 * 4096
    free = size - 32 - len(cells)
    image[end:] = struct.pack("<4sIIQQI", b"hbin", db - 32, size, 0, 0, 0) + cells + (struct.pack("<i", free) +
                                                                                        bytes(free))[:free]
    old = 4096 + struct.unpack_from("<I", image, vk + 12)[0]
    struct.pack_into("<i", image, old, -struct.unpack_from("<i", image, old)[0])
    struct.pack_into("<I", image, vk + 12, db)
    struct.pack_into("<I", image, 40, len(image) - 4096)
    struct.pack_into("<I", image, 508, checksum(image))
    with open(path, "wb") as f:
        f.write(image)


def stored_cells(path, number, name):
    """How the value is stored: [] in its vk cell, ["cell", the cell's size], ["db", each segment's cell's size]."""
    image, vk, _ = value_cell(path, number, name)
    size, at = struct.unpack_from("<II", image, vk + 8)
    cell_size = lambda offset: -struct.unpack_from("<i", image, 4096 + offset)[0]
    if size >> 31 or image[4100 + at:4102 + at] != b"db":
        return [] if size >> 31 else ["cell", cell_size(at)]
    count, listed = struct.unpack_from("<HI", image, 4102 + at)
    return ["db"] + [cell_size(struct.unpack_from("<I", image, 4100 + listed + 4 * i)[0]) for i in range(count)]


def marvin32(data, lo=0x7A4E55C5, hi=0x82EF4D88):
    """64-bit Marvin32 with the seed of the transaction logs."""
    tail = len(data) % 4
    for word in [*struct.unpack_from(f"<{len(data) // 4}I", data), int.from_bytes(data[len(data) - tail:] + b"\x80",
                                                                                   "little"), 0]:
        lo = (lo + word) & 0xFFFFFFFF
        hi ^= lo
        lo = ((lo << 20 | lo >> 12) + hi) & 0xFFFFFFFF
        hi = (hi << 9 | hi >> 23) & 0xFFFFFFFF ^ lo
        lo = ((lo << 27 | lo >> 5) + hi) & 0xFFFFFFFF
        hi = (hi << 19 | hi >> 13) & 0xFFFFFFFF
    return hi << 32 | lo


def log_base(path, kind, number, bins):
    """A log's base block: the first sector of the file's, of file type KIND."""
    base = bytearray(open(path, "rb").read(512))
    struct.pack_into("<II", base, 4, number, number)
    struct.pack_into("<I", base, 28, kind)
    struct.pack_into("<I", base, 40, bins)
    struct.pack_into("<I", base, 508, checksum(base))
    return bytes(base)


def write_logs(path, states, plan, names=("LOG1", "LOG2"), secondary=None, bad_hash=None):
    """Makes the hive at PATH dirty, with logs that bring it to each of STATES
    (bytes of hives) in turn: entry i holds the pages of STATES[i] that differ
    from the state before, PLAN[i] is (0 for .LOG1 or 1 for .LOG2, its
    sequence number), entry BAD_HASH's Hash-1 is wrong. A log's number is its
    first entry's; the file's secondary number is SECONDARY (the first
    entry's unless given), its primary one more."""
    logs, before = [b"", b""], open(path, "rb").read()
    for i, (state, (log, number)) in enumerate(zip(states, plan)):
        pages = [(at, state[at:at + 4096]) for at in range(4096, len(state), 4096) if state[at:at + 4096] !=
                 before[at:at + 4096]]
        body = b"".join(struct.pack("<II", at - 4096, 4096) for at, _ in pages) + b"".join(p for _, p in pages)
        body += bytes(-(40 + len(body)) % 512)
        head = struct.pack("<4sIIIIIQ", b"HvLE", 40 + len(body), 0, number, len(state) - 4096, len(pages),
                           marvin32(body) ^ (i == bad_hash))
        logs[log] = logs[log] or log_base(path, 6, number, len(state) - 4096)
        logs[log] += head + struct.pack("<Q", marvin32(head)) + body
        before = state
    for log, name in zip(logs, names):
        open(path + "." + name, "wb").write(log) if log else None
    set_header(path, seq1=(secondary or plan[0][1]) + 1, seq2=secondary or plan[0][1])


def write_dirt_log(path, newer, name="LOG1"):
    """Makes the hive at PATH dirty, with an old-format log that brings it to
    NEWER: the sectors that differ, marked in the dirty vector."""
    older, bins = open(path, "rb").read(), len(newer) - 4096
    dirty = [at for at in range(4096, len(newer), 512) if newer[at:at + 512] != older[at:at + 512]]
    vector = bytearray(bins // 4096)
    for at in dirty:
        vector[(at - 4096) // 4096] |= 1 << (at - 4096) // 512 % 8
    number = struct.unpack_from("<I", older, 4)[0] + 1
    head = log_base(path, 1, number, bins) + b"DIRT" + vector
    with open(path + "." + name, "wb") as f:
        f.write(head + bytes(-len(head) % 512) + b"".join(newer[at:at + 512] for at in dirty))
    set_header(path, seq1=number, seq2=number - 1)


def log_numbers(log):
    """Every sequence number a log holds: its header's two and each entry's."""
    numbers, at = list(struct.unpack_from("<II", log, 4)), 512
    while log[at:at + 4] == b"HvLE":
        numbers.append(struct.unpack_from("<I", log, at + 12)[0])
        at += struct.unpack_from("<I", log, at + 4)[0]
    return numbers
