#!/usr/bin/env python3
"""Soak under Wine: schedules many operations with bootmove.exe (moves onto
new names, moves onto existing files, deletes, interleaved; three names in
four with characters beyond ASCII: é, which code page 1252 has, and Ω and
CJK, which it lacks), checks every line of /l, cancels half of them in a
random order (by source alone or with the target, the ASCII letters
sometimes in the other case), checking after each cancel that exactly that
operation is gone from the value, then restarts the Wine session and checks
on disk that exactly the remaining operations were carried out.

    soak.py BOOTMOVE_EXE REGFIXTURE_EXE [OPERATIONS]   (default 200)

Closes with "N passed, N failed"; exits 77 when this machine cannot run the
program's width of Wine.
"""

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from winesession import cp1252_encode, crlf, main, utf16  # noqa: E402

SOAK_DIR = "C:\\soak"
SEED = 20261208
MARKERS = ("", "\xe9", "\u03a9", "\u6587\u4ef6")  # none, é, Ω, two CJK characters


def plan(count):
    """(kind, source, target) per operation: "replace" moves onto a new name,
    "onto" moves onto an existing file, "delete" deletes."""
    operations = []
    for i in range(count):
        kind = ("replace", "onto", "delete")[i % 3]
        stem = f"{SOAK_DIR}\\f{MARKERS[i % 4]}{i:05d}"
        source = f"{stem}.src"
        target = {"replace": f"{stem}.new", "onto": f"{stem}.old", "delete": None}[kind]
        operations.append((kind, source, target))
    return operations


def stored(operations):
    text = ""
    for _, source, target in operations:
        text += "\\??\\" + source + "\0" + ("" if target is None else "!\\??\\" + target) + "\0"
    return utf16(text + "\0")


def printed(text):
    """What bootmove writes to a file for `text`: code page 1252, "?" for
    what it lacks, CR LF."""
    return crlf(cp1252_encode(text))


def other_case(name):
    return "".join(c.swapcase() if c.isascii() else c for c in name)


def soak(session, args):
    count = int(args[0]) if args else 200
    rng = random.Random(SEED)
    passed = failed = 0

    def check(what, ok, detail=""):
        nonlocal passed, failed
        if ok:
            passed += 1
        else:
            failed += 1
            print(f"FAIL {what} {detail}")

    operations = plan(count)
    session.delete_value()
    for _, source, target in operations:
        path = session.host_path(source)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(f"content of {source}")
        if target is not None and target.endswith(".old"):
            with open(session.host_path(target), "w", encoding="utf-8") as f:
                f.write("old")

    for kind, source, target in operations:
        args_ = (source, target) if target else ("/d", source)
        status, out = session.bootmove(*args_)
        announced = f"Moving {source} to {target} at next reboot\n" if target else f"Deleting {source} next reboot\n"
        if status != 0 or out != printed(announced):
            check(f"schedule {args_}", False, f"status {status}, output {out!r}")
    check("value after scheduling", session.get_value() == (7, stored(operations)))

    status, out = session.bootmove("/l")
    expected = "".join(f"File {s} -> {t or '(delete)'}\n" for _, s, t in operations)
    check("every line of /l", status == 0 and out == printed(expected),
          f"status {status}, {len(out.splitlines())} lines")

    remaining = list(operations)
    cancelled = rng.sample(operations, count // 2)
    for kind, source, target in cancelled:
        with_target = rng.random() < 0.5
        # A delete's target is the empty name.
        args_ = ("/c", source, target or "") if with_target else ("/c", source)
        if rng.random() < 0.25:
            args_ = ("/c",) + tuple(map(other_case, args_[1:]))
        status, out = session.bootmove(*args_)
        remaining.remove((kind, source, target))
        value = session.get_value()
        ok = status == 0 and out == b"" and value == (7, stored(remaining))
        check(f"cancel {args_}", ok, f"status {status}, output {out!r}")
        if not ok:
            break

    session.reboot()
    for kind, source, target in operations:
        source_text = f"content of {source}"
        source_now = read(session, source)
        target_now = read(session, target) if target else None
        if (kind, source, target) in remaining:
            ok = source_now is None and (target is None or target_now == source_text)
        else:
            ok = source_now == source_text and target_now == {"replace": None, "onto": "old", "delete": None}[kind]
        if not ok:
            check(f"on disk after the restart: {kind} {source}", False, f"source {source_now!r}, target {target_now!r}")
    check("every operation on disk as expected", failed == 0)
    check("value gone after the restart", session.get_value() is None)
    print(f"soak: {count} scheduled, {len(cancelled)} cancelled, {len(remaining)} carried out")
    return passed, failed


def read(session, name):
    path = session.host_path(name)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return f.read()


if __name__ == "__main__":
    main(soak)
