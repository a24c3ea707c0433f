#!/usr/bin/env python3
"""Sequences of commands under Wine with restarts in between: what bootmove
and the system write, what /l shows and /c leaves, and what a restart
(`wineboot -r`) then does to the files.

    scenarios.py BOOTMOVE_EXE REGFIXTURE_EXE [NAME...]

Closes with "N passed, N failed"; exits 77 when this machine cannot run the
program's width of Wine.
"""

import os

from winesession import SessionError, crlf, main

TEST_DIR = "C:\\bmtest\\"
REPLACE, DELAY = 1, 4
NOT_FOUND_TEXT = 2


def full(name):
    return name if name[1:3] == ":\\" else TEST_DIR + name


def recorded(ops):
    """The value as the system writes it for (source, target or None, flags)."""
    data = b""
    for source, target, flags in ops:
        data += b"\\??\\" + full(source).encode() + b"\0"
        if target is not None:
            data += (b"!" if flags & REPLACE else b"") + b"\\??\\" + full(target).encode()
        data += b"\0"
    return data + b"\0"


def listed(ops):
    """What /l prints for those operations."""
    return "".join(f"File {full(s)} -> {full(t) if t else '(delete)'}\n" for s, t, _ in ops)


class Scenario:
    def __init__(self, session):
        self.session = session
        self.problems = []
        session.clear_test_dir()
        session.delete_value()

    def check(self, what, expected, actual):
        if expected != actual:
            self.problems.append(f"{what}: expected {expected!r}, got {actual!r}")

    def write(self, name, content):
        path = self.session.host_path(full(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(content)

    def read(self, name):
        """The file's content, or None when it does not exist."""
        path = self.session.host_path(full(name))
        if not os.path.exists(path):
            return None
        with open(path) as f:
            return f.read()

    def files_are(self, expected):
        for name, content in expected.items():
            self.check(f"{name} on disk", content, self.read(name))

    def bootmove(self, args, stdout, status=0, cwd=None):
        where = cwd and os.path.join(self.session.test_dir, cwd)
        got_status, got_stdout = self.session.bootmove(*args, cwd=where)
        self.check(f"bootmove {' '.join(args)}: stdout", crlf(stdout.encode()), got_stdout)
        self.check(f"bootmove {' '.join(args)}: status", status, got_status)

    def value_is(self, data, when):
        self.check(f"value {when}", None if data is None else (7, data), self.session.get_value())

    def platform_writes(self, ops):
        for source, target, flags in ops:
            self.session.platform_move(source, target, flags)


def platform_value_listed(s):
    """A value written by the system itself, moves with and without
    replacement and a delete in the middle, is listed line by line."""
    ops = [
        ("C:\\bmtest\\one.txt", "C:\\bmtest\\two.txt", REPLACE | DELAY),
        ("C:\\bmtest\\gone.log", None, REPLACE | DELAY),
        ("C:\\bmtest\\my file.txt", "C:\\elsewhere\\kept.txt", DELAY),
        ("last.txt", "final.txt", REPLACE | DELAY),
    ]
    s.platform_writes(ops)
    s.value_is(recorded(ops), "as the system wrote it")
    s.bootmove(["/l"], listed(ops))


def cancel_then_restart(s):
    """/c removes exactly one operation, even one after a delete, and the
    restart carries out all the others as they were written."""
    for name in ("a", "b", "c", "d", "f", "g", "h", "j", "k"):
        s.write(f"{name}.txt", f"{name} before")
    ops = [
        ("a.txt", "b.txt", REPLACE | DELAY),
        ("d.txt", None, REPLACE | DELAY),
        ("c.txt", "e.txt", DELAY),
        ("h.txt", "i.txt", DELAY),
        ("j.txt", "k.txt", DELAY),  # its target exists: not carried out
        ("f.txt", "g.txt", REPLACE | DELAY),
    ]
    s.platform_writes(ops)
    s.value_is(recorded(ops), "before /c")
    s.bootmove(["/c", "c:\\BMTEST\\C.TXT"], "")
    kept = ops[:2] + ops[3:]
    s.value_is(recorded(kept), "after /c")
    s.session.reboot()
    s.value_is(None, "after the restart")
    s.files_are({
        "a.txt": None, "b.txt": "a before",
        "d.txt": None,
        "c.txt": "c before", "e.txt": None,
        "h.txt": None, "i.txt": "h before",
        "j.txt": "j before", "k.txt": "k before",
        "f.txt": None, "g.txt": "f before",
    })


def schedule_then_restart(s):
    """Moves and deletes scheduled by bootmove are recorded with full names,
    relative ones against the current directory, and carried out."""
    s.write("new.txt", "new")
    s.write("target.txt", "old")
    s.write("junk.txt", "junk")
    s.write("sub\\here.txt", "here")
    s.write("sub\\old.log", "log")
    s.bootmove(["C:\\bmtest\\new.txt", "C:\\bmtest\\target.txt"],
               "Moving C:\\bmtest\\new.txt to C:\\bmtest\\target.txt at next reboot\n")
    s.bootmove(["/d", "C:\\bmtest\\junk.txt"], "Deleting C:\\bmtest\\junk.txt next reboot\n")
    s.bootmove(["here.txt", "there.txt"], "Moving here.txt to there.txt at next reboot\n", cwd="sub")
    s.bootmove(["/d", "old.log"], "Deleting old.log next reboot\n", cwd="sub")
    ops = [
        ("new.txt", "target.txt", REPLACE | DELAY),
        ("junk.txt", None, REPLACE | DELAY),
        ("sub\\here.txt", "sub\\there.txt", REPLACE | DELAY),
        ("sub\\old.log", None, REPLACE | DELAY),
    ]
    s.value_is(recorded(ops), "after scheduling")
    s.bootmove(["/l"], listed(ops))
    s.session.reboot()
    s.value_is(None, "after the restart")
    s.files_are({
        "new.txt": None, "target.txt": "new",
        "junk.txt": None,
        "sub\\here.txt": None, "sub\\there.txt": "here",
        "sub\\old.log": None,
    })


def user_session(s):
    """An update as a user would do it: three operations, a look, one taken
    back by source and target, another look, a restart."""
    s.write("app.dll", "v1")
    s.write("app.dll.new", "v2")
    s.write("setup.tmp", "temporary")
    s.write("install.log", "log")
    s.bootmove(["app.dll.new", "app.dll"], "Moving app.dll.new to app.dll at next reboot\n")
    s.bootmove(["/d", "setup.tmp"], "Deleting setup.tmp next reboot\n")
    s.bootmove(["install.log", "install.old"], "Moving install.log to install.old at next reboot\n")
    ops = [
        ("app.dll.new", "app.dll", REPLACE | DELAY),
        ("setup.tmp", None, REPLACE | DELAY),
        ("install.log", "install.old", REPLACE | DELAY),
    ]
    s.bootmove(["/l"], listed(ops))
    s.bootmove(["/c", "C:\\bmtest\\install.log", "C:\\bmtest\\install.old"], "")
    s.bootmove(["/l"], listed(ops[:2]))
    s.bootmove(["/c", "C:\\bmtest\\install.log"], "Could not fild a matching a pending file operation\n", 1)
    s.session.reboot()
    s.files_are({"app.dll": "v2", "app.dll.new": None, "setup.tmp": None, "install.log": "log", "install.old": None})
    not_found = s.session.error_text(NOT_FOUND_TEXT).decode()
    s.bootmove(["/l"], f"error: {not_found}\n", 1)


def cancel_only_operation(s):
    """Cancelling the only operation leaves a value with nothing to do: the
    restart moves nothing."""
    s.write("a.txt", "a")
    s.write("b.txt", "b")
    s.bootmove(["a.txt", "b.txt"], "Moving a.txt to b.txt at next reboot\n")
    s.bootmove(["/c", "C:\\bmtest\\a.txt", "C:\\bmtest\\b.txt"], "")
    s.value_is(b"\0", "after /c")
    s.bootmove(["/l"], "")
    s.session.reboot()
    s.files_are({"a.txt": "a", "b.txt": "b"})


SCENARIOS = [platform_value_listed, cancel_then_restart, schedule_then_restart, user_session, cancel_only_operation]


def run_scenarios(session, only):
    passed = failed = 0
    for scenario in SCENARIOS:
        if only and scenario.__name__ not in only:
            continue
        try:
            s = Scenario(session)
            scenario(s)
            problems = s.problems
        except SessionError as e:
            problems = [f"could not run: {e}"]
        for problem in problems:
            print(f"FAIL {scenario.__name__}: {problem}")
        passed, failed = (passed, failed + 1) if problems else (passed + 1, failed)
    return passed, failed


if __name__ == "__main__":
    main(run_scenarios)
