#!/usr/bin/env python3
"""Runs every row of tests/cases/*.cases against bootmove.exe under Wine.

    run_cases.py BOOTMOVE_EXE REGFIXTURE_EXE [NAME...]

The table's format is described in tests/cases/README.md. Prints one line per
failing case and closes with "N passed, N failed"; exits 77 when this machine
cannot run the program's width of Wine.
"""

import json
import os
import re
import shutil

from winesession import VALUE_TYPES, SessionError, cp1252_decode, cp1252_encode, cp1252_unit, crlf, main, utf16

CASES_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cases")
NAME = re.compile(r"[A-Za-z0-9_-]+\Z")
ESCAPE = re.compile(
    r"\{(?:(?P<repeat>.)\*(?P<count>\d+)"
    r"|x(?P<x>[0-9A-Fa-f]{2})"
    r"|u\+(?P<u>[0-9A-Fa-f]{4})(?:\*(?P<ucount>\d+))?"
    r"|b(?P<b>[0-9A-Fa-f]{2})"
    r"|sys:(?P<sys>\d+)"
    r"|(?P<word>prog|usage|0|n|r|t|e|s))\}"
)
CONTROLS = {"0": 0, "n": 0x0A, "r": 0x0D, "t": 0x09}
with open(os.path.join(CASES_DIR, "usage.txt"), encoding="ascii") as usage_file:
    USAGE = usage_file.readline().rstrip("\n")  # what {usage} stands for
SECOND = True  # the flag of the session's value helpers for the second value

# The kinds of field: stdout is bytes; values are UTF-16 units and raw bytes;
# arguments and files are UTF-16 units, given to the session as str.
STDOUT, VALUE, ARGUMENT, FILE = "stdout", "value", "argument", "file"


class CaseError(Exception):
    """A row that does not follow the table's format."""


class Context:
    def __init__(self, session):
        self.session = session
        self.program = session.program_name()
        # Whether each value is known to be absent since the last row read it
        # back: then a row that wants it absent need not delete it.
        self.absent = {False: False, SECOND: False}


def pieces(text, ctx, kind):
    """The field's text as ("unit", number) and ("byte", number) pieces: one
    unit per character, and what each escape stands for in this kind of
    field."""
    out = []
    i = 0
    while i < len(text):
        if text[i] != "{":
            if ord(text[i]) > 0x7E:
                raise CaseError(f"a character beyond ASCII: {text[i]!r} (write an escape)")
            out.append(("unit", ord(text[i])))
            i += 1
            continue
        m = ESCAPE.match(text, i)
        if not m:
            raise CaseError(f"unknown escape at {text[i:i + 12]!r}")
        i = m.end()
        if m["repeat"] is not None:
            if ord(m["repeat"]) > 0x7E:
                raise CaseError(f"a character beyond ASCII: {m['repeat']!r} (write an escape)")
            out += [("unit", ord(m["repeat"]))] * int(m["count"])
        elif m["x"] is not None:
            byte = int(m["x"], 16)
            out.append(("byte", byte) if kind == STDOUT else ("unit", cp1252_unit(byte)))
        elif m["u"] is not None:
            unit = int(m["u"], 16)
            if kind == STDOUT:
                raise CaseError("{u+HHHH} is not for stdout (use {xHH} for a byte)")
            out += [("unit", unit)] * int(m["ucount"] or 1)
        elif m["b"] is not None:
            if kind != VALUE:
                raise CaseError("{bHH} is for values only")
            out.append(("byte", int(m["b"], 16)))
        elif m["sys"] is not None:
            text_bytes = ctx.session.error_text(int(m["sys"]))
            if kind == STDOUT:
                out += [("byte", b) for b in crlf(text_bytes)]
            else:
                out += [("unit", ord(c)) for c in cp1252_decode(text_bytes)]
        elif m["word"] == "usage":
            out += pieces(USAGE, ctx, kind)
        elif m["word"] == "prog":
            if kind == STDOUT:
                out += [("byte", b) for b in cp1252_encode(ctx.program)]
            else:
                out += [("unit", u) for u in units(ctx.program)]
        elif m["word"] == "s":
            if kind != ARGUMENT:
                raise CaseError("{s} is for arguments only")
            out.append(("unit", 0x20))
        elif m["word"] == "n" and kind == STDOUT:
            out += [("byte", 0x0D), ("byte", 0x0A)]  # the end of one of the program's lines
        elif m["word"] in CONTROLS:
            out.append(("unit", CONTROLS[m["word"]]))
        # {e} stands for nothing.
    return out


def units(text):
    data = utf16(text)
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]


def expand_stdout(text, ctx):
    """In stdout every character and escape is one byte."""
    return bytes(number for _, number in pieces(text, ctx, STDOUT))


def expand_json(text, ctx):
    """A `json:` field: the document, parsed, after {sys:N} became the
    system's text for N without its line end."""
    def message(m):
        text_bytes = ctx.session.error_text(int(m[1])).rstrip(b"\r\n")
        return json.dumps(cp1252_decode(text_bytes))[1:-1]
    try:
        return json.loads(re.sub(r"\{sys:(\d+)\}", message, text))
    except ValueError as e:
        raise CaseError(f"the expected document is no JSON: {e}")


def expand_value(text, ctx):
    data = bytearray()
    for what, number in pieces(text, ctx, VALUE):
        data += bytes([number]) if what == "byte" else number.to_bytes(2, "little")
    return bytes(data)


def expand_name(text, ctx, kind):
    """An argument or file name as str: valid surrogate pairs become their
    character, a lone surrogate stays one."""
    data = b"".join(number.to_bytes(2, "little") for _, number in pieces(text, ctx, kind))
    return data.decode("utf-16-le", "surrogatepass")


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
            target = expand_name(m.group(3), ctx, ARGUMENT) or None
            ops.append((expand_name(m.group(1), ctx, ARGUMENT), target, 5 if m.group(2) == "=>" else 4))
        return ("platform", ops)
    if kind in VALUE_TYPES:
        return ("data", VALUE_TYPES[kind], expand_value(rest, ctx))
    if kind.isdigit():
        return ("data", int(kind), expand_value(rest, ctx))
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
        if len(fields) not in (7, 9):
            raise CaseError(f"{len(fields)} fields instead of 7 or 9")
        self.ctx = ctx
        self.session = ctx.session
        name, files, arguments, before, stdout, status, after = fields[:7]
        second_before, second_after = fields[7:] or ("absent", "absent")
        if not NAME.match(name):
            raise CaseError(f"bad name {name!r}")
        self.files = [] if files == "-" else [expand_name(f, ctx, FILE) for f in files.split(";")]
        if any("\0" in f for f in self.files):
            raise CaseError("a file name cannot hold NUL")
        self.arguments = [] if arguments == "-" else [expand_name(a, ctx, ARGUMENT) for a in arguments.split(" ")]
        self.full = stdout == "{full}"
        self.json = expand_json(stdout[5:], ctx) if stdout.startswith("json:") else None
        self.stdout = None if self.full or self.json is not None else expand_stdout(stdout, ctx)
        if not status.isdigit():
            raise CaseError(f"bad status {status!r}")
        self.status = int(status)
        self.values = {}  # first or second value: (before, after)
        for second, (b, a) in ((False, (before, after)), (SECOND, (second_before, second_after))):
            self.values[second] = (parse_value(b, ctx, ("absent", "platform")), parse_value(a, ctx, ("absent", "same")))

    def set_up_value(self, second):
        """Sets one value as the row has it before; gives it as set. The
        platform writes only the first value, so a second one written by the
        platform is moved over from the first."""
        session = self.session
        before = self.values[second][0]
        absent, self.ctx.absent[second] = self.ctx.absent[second], False
        if before[0] == "data":
            session.set_value(before[1], before[2], second)
            return before[1:]
        if not absent:
            session.delete_value(second)
        if before[0] != "platform":
            return None
        if second:
            session.delete_value()
        for source, target, flags in before[1]:
            session.platform_move(source, target, flags)
        value = session.get_value()
        if second:
            session.set_value(value[0], value[1], SECOND)
            session.delete_value()
        return value

    def prepare(self):
        """Sets the values and makes the files; gives the values as set."""
        session = self.session
        session.clear_test_dir()
        set_values = {SECOND: self.set_up_value(SECOND)}
        set_values[False] = self.set_up_value(False)
        for name in self.files:
            path = session.host_path(name)
            if name.endswith("\\"):
                os.makedirs(path, exist_ok=True)
            else:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(b"x")
        return set_values

    def clean_up(self):
        for name in self.files:
            path = self.session.host_path(name)
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            elif os.path.lexists(path):
                os.remove(path)
        self.session.clear_test_dir()

    def problems(self):
        values_before = self.prepare()
        try:
            status, out = self.session.bootmove(*self.arguments, full=self.full)
            values_after = {second: self.session.get_value(second) for second in (False, SECOND)}
            self.ctx.absent = {second: values_after[second] is None for second in values_after}
        finally:
            self.clean_up()
        found = []
        if self.json is not None:
            try:
                document = json.loads(out.decode("ascii"))
            except ValueError as e:
                document = f"no document of ASCII JSON ({e}): {out!r}"
            if document != self.json:
                found.append(f"document: expected {self.json!r}, got {document!r}")
        elif not self.full and out != self.stdout:
            found.append(f"stdout: expected {self.stdout!r}, got {out!r}")
        if status != self.status:
            found.append(f"status: expected {self.status}, got {status}")
        for second, label in ((False, "value after"), (SECOND, "second value after")):
            after = self.values[second][1]
            wanted = {"same": values_before[second], "absent": None}.get(after[0], after[1:])
            if values_after[second] != wanted:
                found.append(f"{label}: expected {show_value(wanted)}, got {show_value(values_after[second])}")
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
        except (SessionError, OSError) as e:
            found = [f"could not run: {e}"]
        if found:
            failed += 1
            print(f"FAIL {where}: " + "; ".join(found))
        else:
            passed += 1
    return passed, failed


if __name__ == "__main__":
    main(run_suite)
