#!/usr/bin/python3
"""run_hive.py BOOTMOVE: the Linux program on hives that hives.py makes.

Each row makes a hive (sets 1 and 2, Select\\Current = 2 unless it says
otherwise) and checks stdout and stderr, the status, the current set's values
read back through hivex, every other key, value and header field, or that the
file was not touched. Then the steps rows cannot hold. Closes with "N passed,
N failed".
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import hivex

from hives import (VALUES, big_value, checksum, log_numbers, marvin32, read_values, set_header, software_hive,
                   stored_cells, system_hive, utf16, value_cell, write_dirt_log, write_logs)

U = utf16
FIRST = U("*1\\??\\C:\\a\0*1!\\??\\C:\\b\0\\??\\C:\\c\u03a9\0\0\0")
SECOND = U("\\??\\C:\\s\0\0\\??\\C:\\c\u03a9\0\0\0tail\0")
OTHER = U("\\??\\C:\\c\u03a9\0\0\0")  # set 1's, never touched
LISTED = "File C:\\a -> C:\\b\nFile C:\\c\u03a9 -> (delete)\nFile C:\\s -> (delete)\nFile C:\\c\u03a9 -> (delete)\n"
DELETE = ('{"value": "PendingFileRenameOperations2", "kind": "delete", "source": "C:\\\\s", "target": null, '
          '"replace": false, "stored_source": "\\\\??\\\\C:\\\\s", "stored_target": "", "source_exists": null, '
          '"target_exists": null}')
UNCLEAN = ("the hive was not closed cleanly (its header's sequence numbers differ) and no entry of its transaction "
           "logs (.LOG1, .LOG2) applies, so changes may be missing; changing the file could corrupt the hive, so "
           "nothing was changed")
DAMAGED = "the hive is damaged: the keys on the way to the pending operations cannot be read"
UNREADABLE = ("the value is stored in a form Windows does not read (its cells disagree with its size), so the restart "
              "carries out none of it")
CUT = "the hive file is cut short: it holds less than its header says the hive has"
NO_WINDOWS = ("error: there is no running Windows here: on Linux bootmove lists and cancels the operations of a "
              "SYSTEM hive file (/hive FILE /l, /hive FILE /c)\n")
# 300 operations (19,802 bytes) and another big value, both stored as Windows stores big data.
OPS = [f"C:\\Windows\\Temp\\file{n:03d}.tmp" for n in range(300)]


def deletes(names):
    return U("".join(f"\\??\\{n}\0\0" for n in names) + "\0")


BIG = {"sets": {2: (deletes(OPS), SECOND)}, "extra": {"Big": bytes(range(256)) * 80}, "big": (VALUES[0], "Big")}
USAGE = ("Usage: {prog} /hive <file> /l | /hive <file> /c <source file> [<target file>] | /hive <file> /why\nList "
         "or cancel the file operations that a Windows SYSTEM hive file holds for the next system boot\n\t/hive <file> "
         "/l list pending operations on next reboot\n\t/hive <file> /l /fo json list pending operations as JSON\n\t"
         "/hive <file> /c <source file> [<target file>] cancel first matching pending operation\n\t/hive <file> /why "
         "tell why a restart is pending\n\t/hive <file> /why /fo json tell why a restart is pending, as JSON\n\t"
         "--help (or -h) print this text\n\t--version print the version\n")
# /why: the SYSTEM reasons of the current set, where no SOFTWARE file is beside FILE.
WHY_KEYS = {"Control\\Session Manager": {"SetupExecute": (7, U("autocheck autochk *\0\0"))},
            "Services\\Netlogon\\JoinDomain": {},
            "Services\\Tcpip\\Parameters": {"NV Hostname": (1, U("new-host\0")), "Hostname": (1, U("old-host\0"))}}
SERVICE = "answer, known only to the running service"
SOFTWARE_REASONS = ("component_servicing", "windows_update", "update_exe_volatile", "server_manager",
                    "dvd_reboot_signal")
UNCHECKED = [("computer_rename", "ComputerName against ActiveComputerName: a system that is not running keeps no "
              "active name"), *((reason, "no SOFTWARE hive beside {file}") for reason in SOFTWARE_REASONS),
             ("windows_update_agent", "the Windows Update Agent's own " + SERVICE),
             ("configuration_manager", "the Configuration Manager client's " + SERVICE),
             ("dsc_configuration", "the DSC Local Configuration Manager's " + SERVICE)]
NOT_CHECKED = "".join(f"Not checked: {reason} ({why})\n" for reason, why in UNCHECKED)
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")) as cmake:
    VERSION = re.search(r"project\(bootmove VERSION (\S+)", cmake.read()).group(1)

# Hives brought by their logs to one value or the other, listed, and in JSON.
N1, N2 = (FIRST, None), (None, U("\\??\\C:\\s\0\0\0"))
L1, L2 = "".join(LISTED.splitlines(True)[:2]), "File C:\\s -> (delete)\n"
J2 = '{"operations": [\n  ' + DELETE + "\n]}\n"
LATER_IN_LOG1 = {"states": [N1, N2, N1], "plan": [(1, 7), (1, 8), (0, 9)]}

# name, hive (changes to the made one), arguments after "/hive FILE" (a
# tuple: exactly these arguments), stdout, start of stderr ({file}, {prog}), status,
# the current set's values afterwards (None: the file untouched).
ROWS = [
    ("list_both_values_current_set", {}, ["/l"], LISTED, "", 0, None),
    ("list_json", {"sets": {2: (None, U("\\??\\C:\\s\0\0\0"))}}, ["/L", "/FO", "JSON"],
     '{"operations": [\n  ' + DELETE + "\n]}\n", "", 0, None),
    ("cancel_in_the_first_value", {}, ["/c", "c:\\C\u03a9"], "", "", 0,
     (U("*1\\??\\C:\\a\0*1!\\??\\C:\\b\0\0"), SECOND)),
    ("cancel_in_the_second_value", {}, ["/c", "C:\\s", ""], "", "", 0, (FIRST, U("\\??\\C:\\c\u03a9\0\0\0tail\0"))),
    ("cancel_no_match", {}, ["/c", "C:\\a", "C:\\x"], "", "Could not fild a matching a pending file operation\n", 1,
     None),
    ("unclean_listed_with_a_warning", {"unclean": True}, ["/l"], LISTED, "warning: the hive was not closed", 0, None),
    ("unclean_never_changed", {"unclean": True}, ["/c", "C:\\a"], "", "error: {file}: " + UNCLEAN + "\n", 1, None),
    # Logs applied as Windows applies them when it loads the hive.
    ("logs_later_entries_in_log1", {"logs": LATER_IN_LOG1}, ["/l"], L1, "note: ", 0, None),
    ("logs_bad_hash_stops", {"logs": {**LATER_IN_LOG1, "bad_hash": 2}}, ["/l", "/fo", "json"], J2, "note: ", 0, None),
    ("logs_with_a_gap", {"logs": {"states": [N1, N2, N1], "plan": [(1, 7), (1, 8), (0, 10)]}}, ["/l"], L2, "note: ", 0,
     None),
    ("logs_old_format", {"logs": {"states": [N1], "old": True}}, ["/l"], L1, "note: ", 0, None),
    ("logs_lower_case", {"logs": {**LATER_IN_LOG1, "names": ("log1", "log2")}}, ["/l"], L1, "note: ", 0, None),
    ("logs_older_than_the_file", {"logs": {**LATER_IN_LOG1, "secondary": 12}}, ["/c", "C:\\a"],
     "", "error: {file}: " + UNCLEAN + "\n", 1, None),
    ("logs_cancel_in_the_recovered_hive", {"logs": LATER_IN_LOG1}, ["/c", "c:\\C\u03a9"], "", "note: ", 0,
     (U("*1\\??\\C:\\a\0*1!\\??\\C:\\b\0\0"), None)),
    ("no_select", {"current": None}, ["/l"],
     "", "error: {file} holds no SYSTEM hive: it has no Select\\Current from 1 to 999\n", 1, None),
    ("missing_control_set", {"current": 7}, ["/l", "/fo", "json"], '{"error": {"code": 0, "message": "the SYSTEM '
     'hive at {file} has no ControlSet007, the control set its Select\\\\Current names"}}\n', "", 1, None),
    ("truncated", {"cut": 9000}, ["/c", "C:\\a"], "", "error: {file}: " + CUT + "\n", 1, None),
    ("header_only", {"cut": 4096}, ["/l"], "", "error: {file}: " + CUT + "\n", 1, None),
    # A subkey list on the way that points outside the hive, or an ri list
    # that holds itself: damage, never "nothing pending".
    ("damaged_subkey_list", {"damage": "outside"}, ["/l"], "", "error: " + DAMAGED + "\n", 1, None),
    ("damaged_ri_list_json", {"damage": "ri_self"}, ["/l", "/fo", "json"],
     '{"error": {"code": 0, "message": "' + DAMAGED + '"}}\n', "", 1, None),
    ("not_a_hive", {"raw": b"[HKEY_LOCAL_MACHINE\\SYSTEM]\n"}, ["/l"], "", "error: {file}: not a registry hive "
     "file (it does not begin with a regf header)\n", 1, None),
    ("damaged_header", {"raw_at": (508, b"\0\0\0\0")}, ["/l"], "", "error: {file}: the hive's header is damaged "
     "(its checksum is wrong)\n", 1, None),
    ("absent", {"raw": None}, ["/l"], "", "error: {file}: No such file or directory\n", 1, None),
    # The system's errors carry errno in the document.
    ("absent_json", {"raw": None}, ["/l", "/fo", "json"],
     '{"error": {"code": 2, "message": "{file}: No such file or directory"}}\n', "", 1, None),
    # No pending values: text names the file and the set; the document is empty.
    ("no_values", {"sets": {2: (None, None)}}, ["/l"], "", "error: {file} holds no pending operations: "
     "ControlSet002\\Control\\Session Manager has neither PendingFileRenameOperations nor "
     "PendingFileRenameOperations2\n", 1, None),
    ("no_values_json", {"sets": {2: (None, None)}}, ["/l", "/fo", "json"], '{"operations": []}\n', "", 0, None),
    # Big data: listed; cancelled into, staying big in its own cells (the last segment's too) or down to one cell;
    # another big value of the key as it was.
    ("big_value_listed", BIG, ["/l"], "".join(f"File {n} -> (delete)\n" for n in OPS) + LISTED.split("\n", 2)[2], "", 0, None),
    ("big_value_stays_big", BIG, ["/c", OPS[7]], "", "", 0, (deletes(OPS[:7] + OPS[8:]), SECOND),
     {VALUES[0]: ["db", 16352, 3472], "Big": ["db", 16352, 4144]}),
    ("big_value_into_one_cell", {**BIG, "sets": {2: (deletes(OPS[:248]), SECOND)}}, ["/c", OPS[0]], "", "", 0,
     (deletes(OPS[1:248]), SECOND), {VALUES[0]: ["cell", 16312], "Big": ["db", 16352, 4144]}),
    ("big_other_value_no_refusal", {"extra": {"Big": bytes(16346)}, "big": ("Big",)}, ["/c", "C:\\a"], "", "", 0,
     (U("\\??\\C:\\c\u03a9\0\0\0"), SECOND), {"Big": ["db", 16352, 16]}),
    ("older_hive_version_writes_it", {"extra": {"Big": bytes(16346)}, "minor": 3}, ["/c", "C:\\s"], "", "", 0,
     (FIRST, U("\\??\\C:\\c\u03a9\0\0\0tail\0"))),
    # A value Windows does not read: over 16,344 bytes in one cell from format 1.4 on (as hivex writes it), or big
    # data in a format 1.3 hive. Not listed, since the restart carries none of it out; /c names it.
    ("one_cell_big_value_not_listed", {"sets": {2: (deletes(OPS), SECOND)}}, ["/l"], LISTED.split("\n", 2)[2],
     "warning: PendingFileRenameOperations: " + UNREADABLE + "; none of its operations is listed\n", 0, None),
    ("one_cell_big_value_json", {"sets": {2: (deletes(OPS), None)}}, ["/l", "/fo", "json"], '{"operations": [], '
     '"unreadable": [\n  {"value": "PendingFileRenameOperations", "message": "' + UNREADABLE + '"}\n]}\n', "warning",
     0, None),
    ("big_data_in_an_old_hive_not_cancelled", {**BIG, "minor": 3}, ["/c", "C:\\s"], "",
     "error: PendingFileRenameOperations: " + UNREADABLE + "; nothing was changed\n", 1, None),
    # The check of the whole hive before a write: a cell two values claim, a value whose cell cannot hold its size.
    ("shared_data_cell_not_freed", {"poke": [(VALUES[1], len(FIRST), VALUES[0])]}, ["/c", "C:\\a"], "",
     "error: the hive is damaged: the data of the value PendingFileRenameOperations2 of the key ControlSet002\\"
     "Control\\Session Manager shares a cell with the data of the value PendingFileRenameOperations; nothing was "
     "changed\n", 1, None),
    ("second_value_too_large_for_its_cell", {"poke": [(VALUES[1], 5000, None)]}, ["/c", "C:\\a"], "",
     "error: the hive is damaged: the data of the value PendingFileRenameOperations2 of the key ControlSet002\\"
     "Control\\Session Manager is not where its size says: its cells are too small for it; nothing was changed\n", 1,
     None),
    # No sequence number is left above the last one.
    ("sequence_at_its_end", {"header": {"seq1": 0xFFFFFFFF, "seq2": 0xFFFFFFFF}}, ["/c", "C:\\a"], "",
     "error: the hive's sequence numbers have reached their end, which no hive Windows wrote does; nothing was "
     "changed\n", 1, None),
    ("lone_surrogate_as_replacement", {"sets": {2: (U("\\??\\C:\\x\udc00\0\0\0"), None)}}, ["/l"],
     "File C:\\x\ufffd -> (delete)\n", "", 0, None),
    # /why: each SYSTEM reason, and none (a name that differs only in case).
    ("why_every_system_reason", {"keys": WHY_KEYS}, ["/why"], "A restart is pending:\n  file_operations: "
     "ControlSet002\\Control\\Session Manager PendingFileRenameOperations = 2 operations, PendingFileRenameOperations2 "
     "= 2 operations\n  setup_execute: ControlSet002\\Control\\Session Manager SetupExecute = \"autocheck autochk "
     "*\"\n  domain_join: ControlSet002\\Services\\Netlogon\\JoinDomain\n  computer_rename: ControlSet002\\Services"
     "\\Tcpip\\Parameters NV Hostname = new-host (Hostname: old-host)\n" + NOT_CHECKED, "", 0, None),
    ("why_no_reason", {"sets": {2: (U("\0\\??\\C:\\x\0\0\0"), None)}, "keys": {"Services\\Tcpip\\Parameters": {
        "NV Hostname": (1, U("Host\0")), "Hostname": (1, U("hOST\0"))}}}, ["/why", "/fo", "json"],
     '{"restart_pending": false, "reasons": [], "not_checked": [\n' + ",\n".join(
         f'  {{"reason": "{reason}", "why": "{why}"}}' for reason, why in UNCHECKED) +
     '\n], "errors": []}\n', "", 0, None),
    # Every SOFTWARE reason, from the SOFTWARE hive beside FILE (named in lower case).
    ("why_software_beside", {"software": True}, ["/why"], "A restart is pending:\n  file_operations: ControlSet002\\"
     "Control\\Session Manager PendingFileRenameOperations = 2 operations, PendingFileRenameOperations2 = 2 operations\n"
     "  component_servicing: Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending\n  "
     "windows_update: Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired (updates: "
     "3f1e9b7a-0001)\n  update_exe_volatile: Microsoft\\Updates UpdateExeVolatile = 1 (a value known to go stale)\n"
     "  server_manager: Microsoft\\ServerManager CurrentRebootAttempts = 2\n  dvd_reboot_signal: Microsoft\\Windows"
     "\\CurrentVersion\\RunOnce DVDRebootSignal\n" + "".join(f"Not checked: {reason} ({why})\n" for reason, why in
                                                          UNCHECKED if reason not in SOFTWARE_REASONS), "", 0, None),
    ("why_needs_a_hive", {}, ("/why",), "", NO_WINDOWS, 1, None),
    ("no_running_windows", {}, ("/l",), "", NO_WINDOWS, 1, None),
    ("stale_needs_windows", {}, ["/c", "/stale"], "", NO_WINDOWS, 1, None),
    ("usage", {}, ["/l", "x"], "", USAGE, 1, None),
    ("no_arguments", {}, (), "", "must supply an argument\n" + USAGE, 1, None),
    ("help", {}, ("--help",), USAGE, "", 0, None),
    ("help_short", {}, ("-h",), USAGE, "", 0, None),
    ("version", {}, ("--version",), f"bootmove {VERSION}\n", "", 0, None),
]


def make(path, sets=None, current=2, unclean=False, cut=None, raw=b"", raw_at=None, extra=None, minor=5,
         damage=None, big=(), logs=None, header=None, keys=None, software=None, poke=()):
    if raw != b"":
        if raw is not None:
            with open(path, "wb") as f:
                f.write(raw)
        return
    system_hive(path, current, sets or {1: (OTHER, None), 2: (FIRST, SECOND)}, minor, extra, keys)
    for name in big:
        big_value(path, 2, name)
    if unclean:
        set_header(path, seq1=8, seq2=7)
    if header:
        set_header(path, **header)
    for name, size, data_of in poke:
        # The second value's data taken over from the first's cell, or a size its cell cannot hold.
        image, vk, h = value_cell(path, 2, name)
        struct.pack_into("<I", image, vk + 8, size)
        if data_of:
            image[vk + 12:vk + 16] = image[h.node_get_value(h.node_get_child(h.node_get_child(h.node_get_child(
                h.root(), "ControlSet002"), "Control"), "Session Manager"), data_of) + 12:][:4]
        open(path, "wb").write(image)
    if software:
        # Named in another case than Windows gives it: matched without regard to case.
        software_hive(os.path.join(os.path.dirname(path), "software"))
    with open(path, "r+b") as f:
        if raw_at:
            f.seek(raw_at[0])
            f.write(raw_at[1])
        if cut:
            f.truncate(cut)
        if damage:
            # The subkey list of ControlSet002 (hivex's handles are file
            # offsets of cells; the list's offset is 28 bytes into the nk).
            h = hivex.Hivex(path)
            nk = h.node_get_child(h.root(), "ControlSet002")
            f.seek(nk + 32)
            at = struct.unpack("<I", f.read(4))[0] + 4096
            f.seek(at + 4)
            f.write(b"lh\1\0\xf0\xff\xff\x7f" if damage == "outside" else b"ri\1\0" + struct.pack("<I", at - 4096))
    return with_logs(path, **logs) if logs else None


def with_logs(path, states, old=False, **options):
    """Logs beside PATH that bring it to each of STATES (set 2's values) in turn; every key and value of the last."""
    hives = []
    for values in states:
        system_hive(path + ".new", 2, {1: (OTHER, None), 2: values})
        hives.append(open(path + ".new", "rb").read())
    keys = dump(path + ".new")
    os.remove(path + ".new")
    write_dirt_log(path, hives[-1]) if old else write_logs(path, hives, **options)
    return keys


def dump(path):
    """Every key and value of the hive, as the file holds them."""
    h = hivex.Hivex(path)
    keys = {}

    def walk(node, name):
        keys[name] = {h.value_key(v): h.value_value(v) for v in h.node_values(node)}
        for child in h.node_children(node):
            walk(child, name + "\\" + h.node_name(child))

    walk(h.root(), "")
    return keys


def run(program, args, **kwargs):
    done = subprocess.run([program, *args], capture_output=True, timeout=120, **kwargs)
    return done.returncode, done.stdout.decode("utf-8", "surrogateescape"), done.stderr.decode()


def check_row(program, folder, row):
    name, hive, args, stdout, stderr, status, after, *forms = row
    path = os.path.join(folder, name + ".hiv")
    keys = make(path, **hive)
    os.chmod(path, 0o640) if os.path.exists(path) else None
    files = {entry: open(os.path.join(folder, entry), "rb").read() for entry in os.listdir(folder)}
    before = files.get(name + ".hiv")
    keys = keys or (dump(path) if after else None)
    got = run(program, ["/hive", path, *args] if isinstance(args, list) else list(args))
    stdout, stderr = (text.replace("{file}", path).replace("{prog}", "bootmove") for text in (stdout, stderr))
    expected = (status, stdout, stderr)
    problems = [] if (got[0], got[1]) == expected[:2] and got[2].startswith(stderr) and (stderr or not got[2]) and \
        got[2].count("\n") <= max(1, stderr.count("\n")) else [f"expected {expected!r}, got {got!r}"]
    now = {entry: open(os.path.join(folder, entry), "rb").read() for entry in os.listdir(folder)}
    changed = {entry for entry in {*files, *now} if files.get(entry) != now.get(entry)}
    problems += [] if changed <= ({name + ".hiv"} if after else set()) else [f"changed or left: {sorted(changed)}"]
    if after is not None:
        values = [None if v is None else v[1] for v in read_values(path, 2)]
        keys["\\ControlSet002\\Control\\Session Manager"].update({n: (7, v) for n, v in zip(VALUES, after) if v})
        problems += [] if values == list(after) else [f"values {values!r}"]
        problems += [] if dump(path) == keys else ["another key or value changed"]
        base = open(path, "rb").read(4096)
        (seq1, seq2), (bins,), (csum,) = (struct.unpack_from(f, base, at) for f, at in (("<II", 4), ("<I", 40),
                                                                                        ("<I", 508)))
        # Above every number of the file and its logs, so that no log applies.
        numbers = [*struct.unpack_from("<II", before, 4), *(n for e in files if e != name + ".hiv" for n in
                                                          log_numbers(files[e]))]
        problems += [] if seq1 == seq2 > max(numbers) and csum == checksum(base) and bins + 4096 == len(
            now[name + ".hiv"]) else ["the header is not whole"]
        problems += [] if os.stat(path).st_mode & 0o777 == 0o640 else ["the mode changed"]
        for value, form in (forms[0] if forms else {}).items():
            problems += [] if stored_cells(path, 2, value) == form else [f"{value}: {stored_cells(path, 2, value)}"]
    for entry in os.listdir(folder):
        os.remove(os.path.join(folder, entry))
    return problems


def check_steps(program, folder):
    problems = []
    path = os.path.join(folder, "SYSTEM")
    # A folder where no new file can be made (for root, the program runs as
    # nobody): an error, and FILE as it was.
    make(path)
    os.chmod(path, 0o666)
    before = open(path, "rb").read()
    os.chmod(folder, 0o555)
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    got = run(nobody[0] if nobody else program, [*nobody[1:], program][0 if nobody else 1:] + ["/hive", path, "/c",
                                                                                              "C:\\a"])
    os.chmod(folder, 0o755)
    if (got[0], got[2]) != (1, "error: the changed hive could not be written, so the file is as it was: Permission denied\n") or open(path, "rb").read() != before:
        problems.append(f"read-only folder: {got!r}")
    # A file the user could not write itself is not replaced either.
    os.chmod(path, 0o444)
    got = run(nobody[0] if nobody else program, [*nobody[1:], program][0 if nobody else 1:] + ["/hive", path, "/c",
                                                                                              "C:\\a"])
    if (got[0], got[2]) != (1, f"error: {path}: Permission denied\n") or open(path, "rb").read() != before:
        problems.append(f"read-only file: {got!r}")
    # Eight /c at once on one file take turns: every one of them holds.
    make(path, sets={2: (U("".join(f"\\??\\C:\\{n}\0\0" for n in range(8)) + "\0"), None)})
    runs = [subprocess.Popen([program, "/hive", path, "/c", f"C:\\{n}"]) for n in range(8)]
    statuses = [r.wait(timeout=120) for r in runs]
    if statuses != [0] * 8 or read_values(path, 2)[0] != (7, b"\0\0"):
        problems.append(f"eight /c at once: {statuses}, {read_values(path, 2)[0]!r}")
    # The logs' hash, against a published vector.
    problems += [] if marvin32(bytes.fromhex("ab427ea8d10fc7"), 0x1BDBCC, 0x4FB61A) == 0xE11847E4F0678C41 else ["hash"]
    # On a terminal a control or format character in a name is shown as an escape.
    make(path, sets={2: (U("\\??\\C:\\e\x1bx\u202e\0\0\0"), None)})
    shown = subprocess.run(["script", "-qec", f"{program} /hive {path} /l", "/dev/null"], capture_output=True,
                           timeout=120).stdout
    if b"File C:\\e\\x1Bx\\u202E -> (delete)" not in shown:
        problems.append(f"terminal: {shown!r}")
    os.remove(path)
    # A link is followed: the file it leads to is changed, the link stays.
    # A pipe is listed; a FIFO, or a file with a second name, is refused at
    # once; extended attributes are kept.
    make(path, sets={2: (U("\\??\\C:\\a\0\0\\??\\C:\\b\0\0\0"), None)})
    link, fifo, second = (os.path.join(folder, name) for name in ("link", "fifo", "second"))
    os.symlink(path, link)
    os.mkfifo(fifo)
    try:
        os.setxattr(path, "user.bootmove", b"kept")
    except OSError:
        pass  # a file system without user attributes
    attributes = {name: os.getxattr(path, name) for name in os.listxattr(path)}
    got = [run(program, ["/hive", link, "/c", "C:\\a"]), run(program, ["/hive", fifo, "/c", "C:\\a"])]
    listed = subprocess.run(["bash", "-c", f"'{program}' /hive <(cat '{path}') /l; '{program}' /hive <(cat '{path}') "
                             "/c 'C:\\b'"], capture_output=True, timeout=60)
    os.link(path, second)
    got.append(run(program, ["/hive", second, "/c", "C:\\b"]))
    kept = {name: os.getxattr(path, name) for name in os.listxattr(path)}
    if (got[0][0], os.path.islink(link), read_values(path, 2)[0], kept, listed.stdout) != (
            0, True, (7, U("\\??\\C:\\b\0\0\0")), attributes, b"File C:\\b -> (delete)\n") or \
            got[1][0] != 1 or any("not a regular file" not in text for text in (got[1][2], listed.stderr.decode())) or \
            "other names (hard links)" not in got[2][2] or listed.returncode != 1:
        problems.append(f"link, pipe, FIFO, attributes, second name: {got!r} {listed!r} {kept!r}")
    for name in (link, fifo, second, path):
        os.remove(name)
    # A log that is there but cannot be read is named, and nothing of the logs is applied: /l lists what the file
    # holds, with a warning; /c changes nothing. So are two logs whose names differ only in case.
    log = path + ".LOG1"
    spoilers = {"a folder": lambda: os.mkdir(log), "a FIFO": lambda: os.mkfifo(log),
                "a device": lambda: os.symlink("/dev/zero", log), "a dangling link": lambda: os.symlink("/nowhere", log),
                "a sparse giant": lambda: open(log, "wb").truncate(3 << 30), "unreadable": lambda: os.chmod(log, 0),
                "two spellings": lambda: (os.rename(log, path + ".log1"), shutil.copy(path + ".log1", path + ".Log1"))}
    for kind, spoil in spoilers.items():
        make(path, logs=LATER_IN_LOG1)
        os.remove(log) if kind not in ("unreadable", "two spellings") else None
        spoil()
        os.chmod(folder, 0o755)
        os.chmod(path, 0o666)
        before = open(path, "rb").read()
        as_user = nobody if kind == "unreadable" and nobody else []
        listed, cancelled = (run(as_user[0] if as_user else program, [*as_user[1:], program][0 if as_user else 1:] +
                                 ["/hive", path, *args]) for args in (["/l"], ["/c", "C:\\a"]))
        named = "have names that differ only in case" if kind == "two spellings" else f"{log} could not be read ("
        if listed[:2] != (0, LISTED) or not listed[2].startswith(f"warning: {path}: the transaction log") or \
                named not in listed[2] or cancelled[0] != 1 or named not in cancelled[2] or \
                open(path, "rb").read() != before:
            problems.append(f"log {kind}: {listed!r} {cancelled!r}")
        for entry in os.listdir(folder):
            target = os.path.join(folder, entry)
            shutil.rmtree(target) if os.path.isdir(target) and not os.path.islink(target) else os.remove(target)
    # One file that needs only the C library.
    needed = subprocess.run(["readelf", "-d", program], capture_output=True, text=True).stdout
    libraries = sorted(line.split("[")[1].rstrip("]") for line in needed.splitlines() if "(NEEDED)" in line)
    if libraries != ["ld-linux-x86-64.so.2", "libc.so.6"] and libraries != ["libc.so.6"]:
        problems.append(f"needs {libraries}")
    return problems


def check_windows(program, session, folder, row):
    """The Windows program under Wine on the row's hive, named by its DOS name: the Linux program's status, and on
    success its standard output and its warnings with CR LF and names in code page 1252; on failure one error line on
    standard output, the file untouched. After /c both programs list the same operations."""
    name, hive, args = row[:3]
    if not isinstance(args, list) or args[0].lower() not in ("/l", "/c", "/why") or hive.get("raw", b"") is None:
        return []
    path = os.path.join(folder, name + ".hiv")
    results = []
    for windows in (False, True):
        make(path, **hive)
        before = open(path, "rb").read()
        if windows:
            dos = session.dos_name(path)
            status, out, err = session.run(session.exe, ["/hive", dos, *args])
            # FILE as typed, in text and in a document.
            for typed, linux in ((dos, path), (dos.replace("\\", "\\\\"), path)):
                out, err = out.replace(typed.encode(), linux.encode()), err.replace(typed, linux)
            error = out
        else:
            status, out, err = run(program, ["/hive", path, *args])
            out, err = out.replace("\n", "\r\n").encode("cp1252", "replace"), err.replace("\n", "\r\n")
            error = out + err.encode("cp1252", "replace")
        listed = run(program, ["/hive", path, "/l"])[1] if open(path, "rb").read() != before else None
        one_error = error.count(b"\n") == 1 and error[:2] in (b"er", b'{"', b"Co")
        results.append((status, out if status == 0 else one_error, err if status == 0 else "", listed))
        for entry in os.listdir(folder):
            os.remove(os.path.join(folder, entry))
    return [] if results[0] == results[1] else [f"the Linux program gave {results[0]!r:.600}, the Windows one "
                                                f"{results[1]!r:.600}"]


def check_windows_steps(session, folder):
    """/hive FILE in the Windows program: a word that names no key is a file (relative, \\?\ and drive paths);
    /l changes nothing and reads a read-only file; /c refuses a file another program has open for writing, a
    read-only file, a folder and a missing file, each with one error line and the file as it was."""
    import winesession
    problems = []
    path = os.path.join(session.test_dir, "SYSTEM")
    make(path, logs=LATER_IN_LOG1)
    dos = session.dos_name(path)
    files = {entry: open(os.path.join(session.test_dir, entry), "rb").read() for entry in os.listdir(session.test_dir)}
    listed = session.run(session.exe, ["/hive", "SYSTEM", "/l"])
    for name in (".\\SYSTEM", "\\\\?\\" + dos, dos):
        problems += [] if session.run(session.exe, ["/hive", name, "/l"])[:2] == listed[:2] == (0, L1.replace(
            "\n", "\r\n").encode("cp1252", "replace")) else [name]
    problems += [] if session.run(session.exe, ["/hive", "hkLM\\bmnone", "/l"])[1] == \
        b"error: no SYSTEM hive is loaded at hkLM\\bmnone\r\n" else ["a key in any case"]
    os.chmod(path, 0o444)
    problems += [] if session.run(session.exe, ["/hive", "SYSTEM", "/l"]) == listed else ["/l of a read-only file"]

    refusals = {"read-only": ("SYSTEM", session.error_text(5)), "folder": (".", b"a folder, not a hive file\r\n"),
                "missing": ("nothere", session.error_text(2))}
    for kind, (name, text) in refusals.items():
        got = session.run(session.exe, ["/hive", name, "/c", "C:\\a"])
        problems += [] if got[:2] == (1, f"error: {name}: ".encode() + text) else [f"{kind}: {got}"]
    os.chmod(path, 0o644)
    sys.path.insert(0, os.path.dirname(winesession.__file__))
    from scenarios import Holder
    holder = Holder(session, "file:" + dos)
    try:
        got = session.run(session.exe, ["/hive", "SYSTEM", "/c", "C:\\a"])
        problems += [] if got[:2] == (1, b"error: SYSTEM: " + session.error_text(32)) else [f"held open: {got}"]
    finally:
        holder.stop()
    now = {entry: open(os.path.join(session.test_dir, entry), "rb").read() for entry in os.listdir(session.test_dir)}
    problems += [] if now == files else ["a file changed"]
    # Once nothing holds it, /c writes the recovered hive, which both programs list alike.
    got = session.run(session.exe, ["/hive", "SYSTEM", "/c", "c:\\C\u03a9"])
    problems += [] if got[0] == 0 and run(sys.argv[1], ["/hive", path, "/l"])[1] == L1.split("\n")[0] + "\n" else [
        f"/c: {got}"]
    for entry in os.listdir(session.test_dir):
        os.remove(os.path.join(session.test_dir, entry))
    return [f"/hive FILE under Wine: {problem}" for problem in problems]


def main():
    program = os.path.abspath(sys.argv[1])
    failed = passed = 0
    session = None
    if len(sys.argv) > 2:
        # Both programs on the same hives: run_hive.py LINUX_PROGRAM WINDOWS_PROGRAM REGFIXTURE.
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
        import winesession
        session = winesession.WineSession(sys.argv[2], sys.argv[3])
        try:
            session.start()
        except winesession.Skip as why:
            print(f"skipped: {why}")
            session.stop()
            return winesession.SKIPPED
    with tempfile.TemporaryDirectory() as folder:
        for row in ROWS if session is None else []:
            problems = check_row(program, folder, row)
            print(f"FAIL {row[0]}: " + "; ".join(problems)) if problems else None
            failed, passed = failed + bool(problems), passed + (not problems)
        for row in ROWS if session is not None else []:
            problems = check_windows(program, session, folder, row)
            print(f"FAIL {row[0]}: " + "; ".join(problems)) if problems else None
            failed, passed = failed + bool(problems), passed + (not problems)
        problems = check_steps(program, folder) if session is None else check_windows_steps(session, folder)
        for problem in problems:
            print(f"FAIL {problem}")
        failed, passed = failed + bool(problems), passed + (not problems)
    session.stop() if session else None
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
