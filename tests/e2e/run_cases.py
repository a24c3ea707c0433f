#!/usr/bin/env python3
"""Runs every row of tests/cases/*.cases against bootmove.exe under Wine.

    run_cases.py BOOTMOVE_EXE REGFIXTURE_EXE [NAME...]

The table's format is described in tests/cases/README.md. Prints one line per
failing case and closes with "N passed, N failed"; exits 77 when this machine
cannot run the program's width of Wine.
"""

import os
import re
import shutil
import sys

from winesession import VALUE_TYPES, SessionError, crlf, main

CASES_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cases")
NAME = re.compile(r"[A-Za-z0-9_-]+\Z")
ESCAPES = [
    (re.compile(r"\{(.)\*(\d+)\}"), lambda m, ctx: m.group(1).encode("latin-1") * int(m.group(2))),
    (re.compile(r"\{x([0-9A-Fa-f]{2})\}"), lambda m, ctx: bytes([int(m.group(1), 16)])),
    (re.compile(r"\{sys:(\d+)\}"), lambda m, ctx: ctx.session.error_text(int(m.group(1)))),
    (re.compile(r"\{prog\}"), lambda m, ctx: ctx.program),
    (re.compile(r"\{(0|n|r|t|e|s)\}"), lambda m, ctx: SIMPLE[m.group(1)]),
]
SIMPLE = {"0": b"\0", "n": b"\n", "r": b"\r", "t": b"\t", "e": b"", "s": b" "}


class CaseError(Exception):
    """A row that does not follow the table's format."""


class Context:
    def __init__(self, session):
        self.session = session
        self.program = session.program_name()


def expand(text, ctx, in_arguments=False):
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i] != "{":
            out += text[i].encode("latin-1")
            i += 1
            continue
        for pattern, meaning in ESCAPES:
            m = pattern.match(text, i)
            if m:
                break
        else:
            raise CaseError(f"unknown escape at {text[i:i + 12]!r}")
        if m.group(0) == "{s}" and not in_arguments:
            raise CaseError("{s} is for arguments only")
        out += meaning(m, ctx)
        i = m.end()
    return bytes(out)


def parse_value(text, ctx, allowed):
    """('absent',), ('same',), ('data', type, bytes) or ('platform', [(src, dst|None, flags)])."""
    if text in allowed and text in ("absent", "same"):
        return (text,)
    kind, sep, rest = text.partition(":")
    if not sep:
        raise CaseError(f"bad value {text!r}")
    if kind == "platform" and "platform" in allowed:
        ops = []
        for op in rest.split(";"):
            m = re.match(r"(.*?)(=>|->)(.*)\Z", op)
            if not m or not m.group(1):
                raise CaseError(f"bad platform operation {op!r}")
            target = expand(m.group(3), ctx) or None
            ops.append((expand(m.group(1), ctx), target, 5 if m.group(2) == "=>" else 4))
        return ("platform", ops)
    if kind in VALUE_TYPES:
        return ("data", VALUE_TYPES[kind], expand(rest, ctx))
    if kind.isdigit():
        return ("data", int(kind), expand(rest, ctx))
    raise CaseError(f"bad value {text!r}")


def read_cases(folder):
    """(file name, line number, fields) for every row of every table."""
    rows = []
    for name in sorted(f for f in os.listdir(folder) if f.endswith(".cases")):
        with open(os.path.join(folder, name), "rb") as f:
            for number, line in enumerate(f.read().decode("latin-1").split("\n"), 1):
                line = line.rstrip("\r")
                if line and not line.startswith("#"):
                    rows.append((name, number, line.split(" | ")))
    return rows


def show_value(value):
    if value is None:
        return "absent"
    return f"{value[0]}:{value[1]!r}"


class CaseRun:
    def __init__(self, ctx, fields):
        if len(fields) != 7:
            raise CaseError(f"{len(fields)} fields instead of 7")
        self.ctx = ctx
        self.session = ctx.session
        name, files, arguments, before, stdout, status, after = fields
        if not NAME.match(name):
            raise CaseError(f"bad name {name!r}")
        self.files = [] if files == "-" else [expand(f, ctx) for f in files.split(";")]
        self.arguments = [] if arguments == "-" else [expand(a, ctx, True) for a in arguments.split(" ")]
        self.before = parse_value(before, ctx, ("absent", "platform"))
        self.stdout = crlf(expand(stdout, ctx))
        if not status.isdigit():
            raise CaseError(f"bad status {status!r}")
        self.status = int(status)
        self.after = parse_value(after, ctx, ("absent", "same"))

    def prepare(self):
        """Sets the value and makes the files; gives the value as set."""
        session = self.session
        session.clear_test_dir()
        if self.before[0] == "data":
            session.set_value(self.before[1], self.before[2])
            value = self.before[1:]
        else:
            session.delete_value()
            value = None
        if self.before[0] == "platform":
            for source, target, flags in self.before[1]:
                session.platform_move(source, target, flags)
            value = session.get_value() if self.after[0] == "same" else None
        for name in self.files:
            path = session.host_path(name)
            if name.endswith(b"\\"):
                os.makedirs(path, exist_ok=True)
            else:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(b"x")
        return value

    def clean_up(self):
        for name in self.files:
            path = self.session.host_path(name)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            elif os.path.lexists(path):
                os.remove(path)
        self.session.clear_test_dir()

    def problems(self):
        value_before = self.prepare()
        try:
            status, out = self.session.bootmove(*self.arguments)
            value_after = self.session.get_value()
        finally:
            self.clean_up()
        wanted = {"same": value_before, "absent": None}.get(self.after[0], self.after[1:])
        found = []
        if out != self.stdout:
            found.append(f"stdout: expected {self.stdout!r}, got {out!r}")
        if status != self.status:
            found.append(f"status: expected {self.status}, got {status}")
        if value_after != wanted:
            found.append(f"value after: expected {show_value(wanted)}, got {show_value(value_after)}")
        return found


def run_suite(session, only):
    ctx = Context(session)
    passed = failed = 0
    seen = set()
    for file_name, number, fields in read_cases(CASES_DIR):
        name = fields[0]
        if only and name not in only:
            continue
        where = f"{name} ({file_name}:{number})"
        try:
            if name in seen:
                raise CaseError("name used twice")
            seen.add(name)
            found = CaseRun(ctx, fields).problems()
        except CaseError as e:
            found = [f"bad row: {e}"]
        except SessionError as e:
            found = [f"could not run: {e}"]
        if found:
            failed += 1
            print(f"FAIL {where}: " + "; ".join(found))
        else:
            passed += 1
    return passed, failed


if __name__ == "__main__":
    main(run_suite)
