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
import struct
import subprocess
import sys
import tempfile

import hivex

from hives import VALUES, checksum, read_values, set_header, system_hive, utf16

U = utf16
FIRST = U("*1\\??\\C:\\a\0*1!\\??\\C:\\b\0\\??\\C:\\c\u03a9\0\0\0")
SECOND = U("\\??\\C:\\s\0\0\\??\\C:\\c\u03a9\0\0\0tail\0")
OTHER = U("\\??\\C:\\c\u03a9\0\0\0")  # set 1's, never touched
LISTED = "File C:\\a -> C:\\b\nFile C:\\c\u03a9 -> (delete)\nFile C:\\s -> (delete)\nFile C:\\c\u03a9 -> (delete)\n"
DELETE = ('{"value": "PendingFileRenameOperations2", "kind": "delete", "source": "C:\\\\s", "target": null, '
          '"replace": false, "stored_source": "\\\\??\\\\C:\\\\s", "stored_target": "", "source_exists": null, '
          '"target_exists": null}')
UNCLEAN = ("the hive was not closed cleanly (its header's sequence numbers differ), so changes may wait in its "
           "transaction logs (.LOG1, .LOG2), which are not applied here; changing the file could corrupt the hive, "
           "so nothing was changed")
NO_WINDOWS = ("error: there is no running Windows here: on Linux bootmove lists and cancels the operations of a "
              "SYSTEM hive file (/hive FILE /l, /hive FILE /c)\n")
USAGE = ("Usage: {prog} /hive <file> /l | /hive <file> /c <source file> [<target file>]\nList or cancel the file "
         "operations that a Windows SYSTEM hive file holds for the next system boot\n\t/hive <file> /l list pending "
         "operations on next reboot\n\t/hive <file> /l /fo json list pending operations as JSON\n\t/hive <file> /c "
         "<source file> [<target file>] cancel first matching pending operation\n\t--help (or -h) print this text\n"
         "\t--version print the version\n")
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")) as cmake:
    VERSION = re.search(r"project\(bootmove VERSION (\S+)", cmake.read()).group(1)

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
    ("no_select", {"current": None}, ["/l"],
     "", "error: {file} holds no SYSTEM hive: it has no Select\\Current from 1 to 999\n", 1, None),
    ("missing_control_set", {"current": 7}, ["/l", "/fo", "json"], '{"error": {"code": 0, "message": "the SYSTEM '
     'hive at {file} has no ControlSet007, the control set its Select\\\\Current names"}}\n', "", 1, None),
    ("truncated", {"cut": 9000}, ["/c", "C:\\a"], "", "error: {file}: the hive is corrupt or truncated: its keys "
     "cannot be read\n", 1, None),
    ("header_only", {"cut": 4096}, ["/l"], "", "error: {file}: the hive is corrupt or truncated: its keys cannot be "
     "read\n", 1, None),
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
    # hivex writes a value as one cell, which Windows reads as a list of
    # segments past 16,344 bytes: refused, also for another value of the key.
    ("value_too_large_to_write", {"extra": {"Big": bytes(16346)}}, ["/c", "C:\\a"], "",
     "error: the value is larger than the hive library writes in a form Windows reads (16,344 bytes in a hive of "
     "this version, about 1 MB in an older one); nothing was changed\n", 1, None),
    ("older_hive_version_writes_it", {"extra": {"Big": bytes(16346)}, "minor": 3}, ["/c", "C:\\s"], "", "", 0,
     (FIRST, U("\\??\\C:\\c\u03a9\0\0\0tail\0"))),
    ("lone_surrogate_as_replacement", {"sets": {2: (U("\\??\\C:\\x\udc00\0\0\0"), None)}}, ["/l"],
     "File C:\\x\ufffd -> (delete)\n", "", 0, None),
    ("no_running_windows", {}, ("/l",), "", NO_WINDOWS, 1, None),
    ("stale_needs_windows", {}, ["/c", "/stale"], "", NO_WINDOWS, 1, None),
    ("usage", {}, ["/l", "x"], "", USAGE, 1, None),
    ("no_arguments", {}, (), "", "must supply an argument\n" + USAGE, 1, None),
    ("help", {}, ("--help",), USAGE, "", 0, None),
    ("help_short", {}, ("-h",), USAGE, "", 0, None),
    ("version", {}, ("--version",), f"bootmove {VERSION}\n", "", 0, None),
]


def make(path, sets=None, current=2, unclean=False, cut=None, raw=b"", raw_at=None, extra=None, minor=5):
    if raw != b"":
        if raw is not None:
            with open(path, "wb") as f:
                f.write(raw)
        return
    system_hive(path, current, sets or {1: (OTHER, None), 2: (FIRST, SECOND)}, minor, extra)
    if unclean:
        set_header(path, seq1=8, seq2=7)
    with open(path, "r+b") as f:
        if raw_at:
            f.seek(raw_at[0])
            f.write(raw_at[1])
        if cut:
            f.truncate(cut)


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
    name, hive, args, stdout, stderr, status, after = row
    path = os.path.join(folder, name + ".hiv")
    make(path, **hive)
    os.chmod(path, 0o640) if os.path.exists(path) else None
    before = open(path, "rb").read() if os.path.exists(path) else None
    keys = dump(path) if after else None
    got = run(program, ["/hive", path, *args] if isinstance(args, list) else list(args))
    stdout, stderr = (text.replace("{file}", path).replace("{prog}", "bootmove") for text in (stdout, stderr))
    expected = (status, stdout, stderr)
    problems = [] if (got[0], got[1]) == expected[:2] and got[2].startswith(stderr) and (stderr or not got[2]) \
        else [f"expected {expected!r}, got {got!r}"]
    if after is None:
        now = open(path, "rb").read() if os.path.exists(path) else None
        problems += [] if now == before else ["the file changed"]
    else:
        values = [None if v is None else v[1] for v in read_values(path, 2)]
        keys["\\ControlSet002\\Control\\Session Manager"].update(dict(zip(VALUES, ((7, v) for v in after))))
        problems += [] if values == list(after) else [f"values {values!r}"]
        problems += [] if dump(path) == keys else ["another key or value changed"]
        base = open(path, "rb").read(4096)
        seq1, seq2, csum = struct.unpack_from("<II", base, 4) + struct.unpack_from("<I", base, 508)
        problems += [] if seq1 == seq2 and csum == checksum(base) else ["the header is not whole"]
        problems += [] if os.stat(path).st_mode & 0o777 == 0o640 else ["the mode changed"]
    problems += [] if os.listdir(folder) == [name + ".hiv"] * os.path.exists(path) else ["a file was left"]
    for entry in os.listdir(folder):
        os.remove(os.path.join(folder, entry))
    return problems


def check_steps(program, folder):
    problems = []
    path = os.path.join(folder, "SYSTEM")
    # A folder where no new file can be made (for root, the program runs as
    # nobody): an error, and FILE as it was.
    make(path)
    os.chmod(path, 0o644)
    before = open(path, "rb").read()
    os.chmod(folder, 0o555)
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    got = run(nobody[0] if nobody else program, [*nobody[1:], program][0 if nobody else 1:] + ["/hive", path, "/c",
                                                                                              "C:\\a"])
    os.chmod(folder, 0o755)
    if (got[0], got[2]) != (1, "error: the changed hive could not be written, so the file is as it was: Permission denied\n") or open(path, "rb").read() != before:
        problems.append(f"read-only folder: {got!r}")
    # Eight /c at once on one file take turns: every one of them holds.
    make(path, sets={2: (U("".join(f"\\??\\C:\\{n}\0\0" for n in range(8)) + "\0"), None)})
    runs = [subprocess.Popen([program, "/hive", path, "/c", f"C:\\{n}"]) for n in range(8)]
    statuses = [r.wait(timeout=120) for r in runs]
    if statuses != [0] * 8 or read_values(path, 2)[0] != (7, b"\0\0"):
        problems.append(f"eight /c at once: {statuses}, {read_values(path, 2)[0]!r}")
    # On a terminal a control or format character in a name is shown as an escape.
    make(path, sets={2: (U("\\??\\C:\\e\x1bx\u202e\0\0\0"), None)})
    shown = subprocess.run(["script", "-qec", f"{program} /hive {path} /l", "/dev/null"], capture_output=True,
                           timeout=120).stdout
    if b"File C:\\e\\x1Bx\\u202E -> (delete)" not in shown:
        problems.append(f"terminal: {shown!r}")
    os.remove(path)
    # One file that needs only the C library.
    needed = subprocess.run(["readelf", "-d", program], capture_output=True, text=True).stdout
    libraries = sorted(line.split("[")[1].rstrip("]") for line in needed.splitlines() if "(NEEDED)" in line)
    if libraries != ["ld-linux-x86-64.so.2", "libc.so.6"] and libraries != ["libc.so.6"]:
        problems.append(f"needs {libraries}")
    return problems


def main():
    program = os.path.abspath(sys.argv[1])
    failed = passed = 0
    with tempfile.TemporaryDirectory() as folder:
        for row in ROWS:
            problems = check_row(program, folder, row)
            print(f"FAIL {row[0]}: " + "; ".join(problems)) if problems else None
            failed, passed = failed + bool(problems), passed + (not problems)
        problems = check_steps(program, folder)
        for problem in problems:
            print(f"FAIL {problem}")
        failed, passed = failed + bool(problems), passed + (not problems)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
