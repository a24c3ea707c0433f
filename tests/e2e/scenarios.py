#!/usr/bin/env python3
"""Sequences of commands under Wine with restarts in between: what bootmove
and the system write, what /l shows and /c leaves, and what a restart
(`wineboot -r`) then does to the files.

    scenarios.py BOOTMOVE_EXE REGFIXTURE_EXE [NAME...]

Closes with "N passed, N failed"; exits 77 when this machine cannot run the
program's width of Wine. A scenario that needs what this machine lacks (a
locale, a terminal) says so and counts as neither.
"""

import json
import os
import shutil
import struct
import subprocess
import time

from winesession import COMMAND_GUARD, SessionError, Skip, cp1252_encode, crlf, main, utf16

TEST_DIR = "C:\\bmtest\\"
REPLACE, DELAY = 1, 4
NOT_FOUND_TEXT = 2
NO_MATCH = "Could not fild a matching a pending file operation\n"
HELD = "error: another program holds the lock on the pending operations; nothing was changed\n"


def full(name):
    return name if name[1:3] == ":\\" else TEST_DIR + name


def recorded(ops):
    """The value as the system writes it for (source, target or None, flags),
    in UTF-16."""
    text = ""
    for source, target, flags in ops:
        text += "\\??\\" + full(source) + "\0"
        if target is not None:
            text += ("!" if flags & REPLACE else "") + "\\??\\" + full(target)
        text += "\0"
    return utf16(text + "\0")


def listed(ops):
    """What /l prints for those operations, as text."""
    return "".join(f"File {full(s)} -> {full(t) if t else '(delete)'}\n" for s, t, _ in ops)


class Scenario:
    def __init__(self, session):
        self.session = session
        self.problems = []
        self.made = set()  # what write() made outside C:\bmtest, removed at the end
        session.clear_test_dir()
        session.delete_value()
        session.delete_value(second=True)

    def check(self, what, expected, actual):
        if expected != actual:
            self.problems.append(f"{what}: expected {expected!r}, got {actual!r}")

    def write(self, name, content):
        path = self.session.host_path(full(name))
        # The first folder that did not exist yet, or the file itself.
        made = path
        for parent in reversed(self._parents(path)):
            if not os.path.exists(parent):
                made = parent
                break
        self.made.add(made)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(content)

    def _parents(self, path):
        parents = []
        while os.path.dirname(path) != self.session.drive_c:
            path = os.path.dirname(path)
            parents.append(path)
        return parents

    def clean_up(self):
        for path in self.made:
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            elif os.path.lexists(path):
                os.remove(path)

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

    def bootmove(self, args, stdout, status=0, cwd=None, env=None):
        """Runs bootmove with stdout to a file. `stdout` is the text it
        should print (in code page 1252, "?" for what that lacks) or the
        exact bytes before line ends become CR LF."""
        where = cwd and os.path.join(self.session.test_dir, cwd)
        got_status, got_stdout = self.session.bootmove(*args, cwd=where, env=env)
        expected = stdout if isinstance(stdout, bytes) else cp1252_encode(stdout)
        self.check(f"bootmove {' '.join(args)}: stdout", crlf(expected), got_stdout)
        self.check(f"bootmove {' '.join(args)}: status", status, got_status)

    def value_is(self, data, when, second=False):
        self.check(f"{'second ' if second else ''}value {when}", None if data is None else (7, data),
                   self.session.get_value(second))

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
    s.bootmove(["/c", "C:\\bmtest\\install.log"], NO_MATCH, 1)
    s.session.reboot()
    s.files_are({"app.dll": "v2", "app.dll.new": None, "setup.tmp": None, "install.log": "log", "install.old": None})
    not_found = s.session.error_text(NOT_FOUND_TEXT).decode()
    s.bootmove(["/l"], f"error: {not_found}\n", 1)


def cancel_only_operation(s):
    """Cancelling the only operation leaves a value with nothing to do, one
    NUL unit: the restart moves nothing."""
    s.write("a.txt", "a")
    s.write("b.txt", "b")
    s.bootmove(["a.txt", "b.txt"], "Moving a.txt to b.txt at next reboot\n")
    s.bootmove(["/c", "C:\\bmtest\\a.txt", "C:\\bmtest\\b.txt"], "")
    s.value_is(b"\0\0", "after /c")
    s.bootmove(["/l"], "")
    s.session.reboot()
    s.files_are({"a.txt": "a", "b.txt": "b"})


def unicode_restart(s):
    """Names beyond code page 1252 go to the value as their exact units,
    whether bootmove or the system recorded them; a cancel in between keeps
    every other operation's bytes; /l shows "?" for what 1252 lacks; and the
    restart acts on exactly those files, never on a look-alike (Omega.txt
    for Ωmega.txt, a.txt for ā.txt, dir\\name.txt for dir＼name.txt)."""
    d = "C:\\uni\\"
    files = {
        "é.txt": "e acute", "Omega.txt": "decoy O", "日本.txt": "nihon", "plain.txt": "plain",
        "dir＼name.txt": "fullwidth", "dir\\name.txt": "decoy dir", "ā.txt": "a macron", "a.txt": "decoy a",
    }
    for name, content in files.items():
        s.write(d + name, content)
    ops = [
        (d + "é.txt", d + "Ωmega.txt", REPLACE | DELAY),
        (d + "日本.txt", d + "\U0001F600.txt", REPLACE | DELAY),
        (d + "plain.txt", d + "plain.bak", REPLACE | DELAY),
        (d + "dir＼name.txt", None, REPLACE | DELAY),
        (d + "ā.txt", None, REPLACE | DELAY),
    ]
    s.bootmove([ops[0][0], ops[0][1]], f"Moving {d}é.txt to {d}Ωmega.txt at next reboot\n")
    s.platform_writes(ops[1:2])
    s.bootmove([ops[2][0], ops[2][1]], f"Moving {d}plain.txt to {d}plain.bak at next reboot\n")
    s.platform_writes(ops[3:4])
    s.bootmove(["/d", ops[4][0]], f"Deleting {d}ā.txt next reboot\n")
    s.value_is(recorded(ops), "after scheduling")
    s.bootmove(["/c", "c:\\UNI\\Plain.TXT"], "")
    kept = ops[:2] + ops[3:]
    s.value_is(recorded(kept), "after /c")
    s.bootmove(["/l"], b"File C:\\uni\\\xe9.txt -> C:\\uni\\?mega.txt\n"
                       b"File C:\\uni\\??.txt -> C:\\uni\\?.txt\n"
                       b"File C:\\uni\\dir?name.txt -> (delete)\n"
                       b"File C:\\uni\\?.txt -> (delete)\n")
    s.session.reboot()
    s.value_is(None, "after the restart")
    s.files_are({d + name: content for name, content in {
        "é.txt": None, "Ωmega.txt": "e acute", "Omega.txt": "decoy O",
        "日本.txt": None, "\U0001F600.txt": "nihon",
        "plain.txt": "plain", "plain.bak": None,
        "dir＼name.txt": None, "dir\\name.txt": "decoy dir",
        "ā.txt": None, "a.txt": "decoy a",
    }.items()})


def code_page_932(s):
    """Under code page 932 names are still handled as UTF-16: ア (83 41) and
    ヂ (83 61) differ only in a trail byte that is 'A' or 'a' in ASCII, yet
    /c of ヂ leaves the delete of ア; a name of 147 characters, 283 bytes in
    932, is under the limit; output is in Shift-JIS."""
    jp = s.session.locale_environment("ja_JP", "UTF-8")
    acp = s.session.acp(env=jp)
    if acp != 932:
        raise SessionError(f"the ANSI code page under {jp} is {acp}, not 932")
    d = "C:\\jp\\"
    a, di = d + "ア.txt", d + "ヂ.txt"
    long = d + "日" * 68 + "\\" + "本" * 68 + ".txt"
    for name, content in ((a, "a"), (di, "di"), (long, "long")):
        s.write(name, content)
    deletes = {name: (name, None, REPLACE | DELAY) for name in (a, di, long)}
    for name in (a, di):
        s.bootmove(["/d", name], f"Deleting {name} next reboot\n".encode("cp932"), env=jp)
    s.value_is(recorded([deletes[a], deletes[di]]), "after scheduling")
    s.bootmove(["/c", di], b"", env=jp)
    s.value_is(recorded([deletes[a]]), "after /c")
    s.bootmove(["/d", long], f"Deleting {long} next reboot\n".encode("cp932"), env=jp)
    s.bootmove(["/l"], listed([deletes[a], deletes[long]]).encode("cp932"), env=jp)
    s.session.reboot()
    s.files_are({a: None, di: "di", long: None})


def console_output(s):
    """On a terminal names go out as characters (UTF-8 from Wine's console)
    and control characters in them as \\xHH, so a name cannot drive the
    terminal; redirected, the same listing is in code page 1252 with the
    control bytes as they are."""
    d = "C:\\con\\"
    trap = d + "a\x1b[2Jb\rc.txt"  # ESC [2J clears a terminal's screen
    s.session.set_value(7, recorded([(d + "Ωmega.txt", d + "日本.txt", REPLACE | DELAY), (trap, None, 0)]))
    status, out = s.session.console("/l")
    s.check("/l on a console: output", crlf(f"File {d}Ωmega.txt -> {d}日本.txt\n"
                                            f"File {d}a\\x1B[2Jb\\x0Dc.txt -> (delete)\n".encode()), out)
    s.check("/l on a console: status", 0, status)
    s.bootmove(["/l"], b"File C:\\con\\?mega.txt -> C:\\con\\??.txt\nFile C:\\con\\a\x1b[2Jb\rc.txt -> (delete)\n")
    status, out = s.session.console("/d", d + "\x1b]0;Ω")
    s.check("/d on a console: output",
            crlf(f"error: file {d}\\x1B]0;Ω does not exist, can't copy non-existant file\n".encode()), out)
    s.check("/d on a console: status", 1, status)


def positional_pairs_restart(s):
    """Strings pair by position, as the restart reads them: a '!' string
    where a source begins is a source named with its '!', and a target that
    is empty is a delete. What /l shows is what the restart then does: the
    move's source names no file (so nothing reaches a.txt and x stays), and
    important.txt is deleted."""
    d = "C:\\orph\\"
    s.write(d + "x", "x")
    s.write(d + "important.txt", "important")
    s.session.set_value(7, utf16(f"!{d}x\0\\??\\{d}a.txt\0\\??\\{d}important.txt\0\0\0"))
    s.bootmove(["/l"], f"File !{d}x -> {d}a.txt\nFile {d}important.txt -> (delete)\n")
    s.session.reboot()
    s.value_is(None, "after the restart")
    s.files_are({d + "x": "x", d + "a.txt": None, d + "important.txt": None})


def closing_nul_restart(s):
    """A cancel that reaches the end of the data puts the closing NUL back,
    since the restart ignores a value that does not end in two NULs: the
    move before it still happens. Cancelling the only operation leaves one
    NUL unit, never zero bytes; a delete scheduled on top of two NUL units
    (the list ends before the data does) is recorded inside the list, with
    its whole prefix, and carried out."""
    d = "C:\\t2\\"
    for name in ("a", "b", "c"):
        s.write(f"{d}{name}.txt", name)
    s.session.set_value(7, utf16(f"\\??\\{d}a.txt\0!\\??\\{d}b.txt\0\\??\\{d}c.txt\0\0"))
    s.bootmove(["/c", d + "c.txt"], "")
    s.value_is(recorded([(d + "a.txt", d + "b.txt", REPLACE | DELAY)]), "after /c of the last operation")
    s.session.reboot()
    s.files_are({d + "a.txt": None, d + "b.txt": "a", d + "c.txt": "c"})

    d = "C:\\t\\"
    s.write(d + "a.txt", "a")
    s.write(d + "b.txt", "b")
    s.session.set_value(7, utf16(f"\\??\\{d}a.txt\0\0"))
    s.bootmove(["/c", d + "a.txt"], "")
    s.value_is(b"\0\0", "after /c of the only operation")
    s.session.set_value(7, b"\0\0\0\0")  # one NUL more: the list ends before the data
    s.bootmove(["/d", d + "b.txt"], f"Deleting {d}b.txt next reboot\n")
    s.value_is(recorded([(d + "b.txt", None, REPLACE | DELAY)]), "after /d")
    s.session.reboot()
    s.files_are({d + "a.txt": "a", d + "b.txt": None})


def second_value(s):
    """The second value is listed after the first; /c of an operation in
    both changes only the first. Wine's restart carries out the first value
    only and leaves the second as it was (Windows would carry out both)."""
    d = "C:\\two\\"
    for name in ("a", "c", "e"):
        s.write(f"{d}{name}.txt", name)
    first = [(d + "c.txt", d + "d.txt", REPLACE | DELAY)]
    second = [(d + "a.txt", d + "b.txt", REPLACE | DELAY), (d + "c.txt", d + "d.txt", REPLACE | DELAY)]
    s.platform_writes(first)
    s.session.set_value(7, recorded(second), second=True)
    s.bootmove(["/l"], listed(first + second))
    s.bootmove(["/c", d + "c.txt"], "")
    s.value_is(b"\0\0", "after /c")
    s.value_is(recorded(second), "after /c", second=True)
    s.bootmove([d + "e.txt", d + "f.txt"], f"Moving {d}e.txt to {d}f.txt at next reboot\n")
    s.session.reboot()
    s.value_is(None, "after the restart")
    s.value_is(recorded(second), "after the restart", second=True)
    s.files_are({d + "a.txt": "a", d + "b.txt": None, d + "c.txt": "c", d + "d.txt": None,
                 d + "e.txt": None, d + "f.txt": "e"})


def wow64_redirection(s):
    """The 32-bit program on 64-bit Windows checks a System32 name in the
    real System32, which the (64-bit) restart acts on, not in SysWOW64
    where its other calls are redirected. With the 64-bit program, or on
    32-bit Windows (no SysWOW64), there is nothing to redirect and this
    scenario does nothing."""
    windows = os.path.join(s.session.drive_c, "windows")
    if s.session.bits != 32 or not os.path.isdir(os.path.join(windows, "syswow64")):
        return
    real, wow = "C:\\windows\\system32\\", "C:\\windows\\syswow64\\"
    s.write(real + "bmtest64.txt", "real")
    s.write(wow + "bmtest32.txt", "wow")
    s.bootmove(["/d", real + "bmtest64.txt"], f"Deleting {real}bmtest64.txt next reboot\n")
    s.bootmove(["/d", real + "bmtest32.txt"],
               f"error: file {real}bmtest32.txt does not exist, can't copy non-existant file\n", 1)
    s.value_is(recorded([(real + "bmtest64.txt", None, REPLACE | DELAY)]), "after /d")
    s.write(wow + "bmtest64.txt", "wow decoy")
    s.session.reboot()
    s.files_are({real + "bmtest64.txt": None, wow + "bmtest64.txt": "wow decoy", wow + "bmtest32.txt": "wow"})


class Holder:
    """`regfixture hold KIND`: another program holding the name of
    bootmove's lock, until `stop`."""

    def __init__(self, session, kind):
        self.stop_path = session.host_path(TEST_DIR + "stop-holder")
        self.process = subprocess.Popen([session.loader, session.fixture_exe, "hold", kind, TEST_DIR + "stop-holder"],
                                        env=session.env, cwd=session.test_dir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if self.process.stdout.readline() != b"held\n":
            self.stop()
            raise SessionError(f"regfixture hold {kind} did not take the name")

    def stop(self):
        with open(self.stop_path, "w"):
            pass
        self.process.wait(timeout=COMMAND_GUARD)
        self.process.stdout.close()
        os.remove(self.stop_path)


def lock_held_elsewhere(s):
    """While another program holds the lock's name, /c and /d change nothing
    and say so: after the 30 s wait when it holds a mutex, at once when the
    name is an event. Once that program ends, the lock works again."""
    d = "C:\\lk\\"
    s.write(d + "a.txt", "a")
    s.write(d + "b.txt", "b")
    ops = [(d + "a.txt", None, REPLACE | DELAY)]
    s.session.set_value(7, recorded(ops))
    holder = Holder(s.session, "mutex")
    try:
        started = time.monotonic()
        s.bootmove(["/c", d + "a.txt"], HELD, 1)
        s.check("/c waited for the lock", True, time.monotonic() - started >= 29)
    finally:
        holder.stop()
    holder = Holder(s.session, "event")
    try:
        s.bootmove(["/c", d + "a.txt"], HELD, 1)
        s.bootmove(["/d", d + "b.txt"], HELD, 1)
    finally:
        holder.stop()
    s.value_is(recorded(ops), "while the lock was held")
    s.bootmove(["/c", d + "a.txt"], "")
    s.bootmove(["/d", d + "b.txt"], f"Deleting {d}b.txt next reboot\n")
    s.value_is(recorded([(d + "b.txt", None, REPLACE | DELAY)]), "once the lock was free again")


def offline_hive(s):
    """/hive on SYSTEM hives loaded under HKLM and under HKU, built by the
    fixture as `reg load` leaves one: Select\\Current picks the control set
    that is listed and changed; the other control set and the running
    system's values stay as they were. Names are not looked for (null).
    The running system's own hive is refused, also through a registry link
    (Windows has its running set as ControlSetNNN too), and so is a hive
    whose Select\\Current names a control set it lacks."""
    NOT_RUNNING = ("error: a system that is not running has no files in use, so its files can be moved or deleted "
                   "directly; nothing was changed\n")
    running = recorded([("C:\\run.txt", None, REPLACE | DELAY)])
    s.session.set_value(7, running)
    sets = {1: ([("C:\\one", "C:\\uno", REPLACE | DELAY)], [("C:\\eins", None, DELAY)]),
            2: ([("C:\\two", None, DELAY), ("C:\\shared", None, DELAY)], [("C:\\deux", "C:\\zwei", DELAY)])}
    for tree, typed, current in (("HKLM\\bmhive", "hklm\\BMHIVE", 2), ("HKU\\bmhive\\deep", "HKEY_USERS\\bmhive\\deep", 1)):
        def value(n, which):
            return s.session.fixture("-k", f"{tree}\\ControlSet00{n}\\Control\\Session Manager", "-n",
                                     "PendingFileRenameOperations" + which, "get").decode()

        try:
            s.session.fixture("-k", tree + "\\Select", "-n", "Current", "set", "4", f"{current:02X}000000")
            for n, (first, second) in sets.items():
                for which, ops in (("", first), ("2", second)):
                    s.session.fixture("-k", f"{tree}\\ControlSet00{n}\\Control\\Session Manager", "-n",
                                      "PendingFileRenameOperations" + which, "set", "7", recorded(ops).hex())
            before = {(n, w): value(n, w) for n in sets for w in ("", "2")}
            first, second = sets[current]
            s.bootmove(["/hive", typed, "/l"], listed(first + second))
            status, out = s.session.bootmove("/hive", typed, "/l", "/fo", "json")
            document = json.loads(out)
            s.check(f"{typed}: the document", ([o for o, _, _ in first + second], {None}, 0),
                    ([o["source"] for o in document["operations"]],
                     {o[k] for o in document["operations"] for k in ("source_exists", "target_exists")}, status))
            s.bootmove(["/hive", typed, "/c", second[0][0]], "")
            s.bootmove(["/hive", typed, "/c", "C:\\run.txt"], NO_MATCH, 1)
            s.bootmove(["/hive", typed, "/c", sets[3 - current][0][0][0]], NO_MATCH, 1)
            after = {(n, w): value(n, w) for n in sets for w in ("", "2")}
            before[(current, "2")] = "7:0000"
            s.check(f"{typed}: the control sets afterwards", before, after)
        finally:
            s.session.fixture("deltree", tree.split("\\deep")[0])
    # The running system's own hive, by name or through a registry link.
    own = " is the running system's own SYSTEM hive: use bootmove without /hive for its pending operations\n"
    links = (("HKLM\\SYSTEM\\ControlSet001", "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet"),
             ("HKLM\\bmlink", "\\REGISTRY\\MACHINE\\SYSTEM"))
    try:
        for key, target in links:
            s.session.fixture("link", key, target)
        for key in ("HKLM\\SYSTEM", "hkey_local_machine\\system\\\\", "HKLM\\bmlink"):
            s.bootmove(["/hive", key, "/l"], "error: " + key + own, 1)
        s.bootmove(["/hive", "HKLM\\SYSTEM", "/c", "C:\\run.txt"], "error: HKLM\\SYSTEM" + own, 1)
    finally:
        for key, _ in links:
            s.session.fixture("unlink", key)
    # A control set the hive lacks is an error in every form; KEY is kept as typed.
    s.session.fixture("-k", "HKLM\\bmhive\\Select", "-n", "Current", "set", "4", "07000000")
    no_set = "the SYSTEM hive at HKLM\\bmhive has no ControlSet007, the control set its Select\\Current names"
    s.bootmove(["/hive", "HKLM\\bmhive", "/l"], f"error: {no_set}\n", 1)
    s.bootmove(["/hive", "HKLM\\bmhive", "/c", "C:\\one"], f"error: {no_set}\n", 1)
    for key, message in (("HKLM\\bmhive", no_set), ("HKLM\\bmnone\n", "no SYSTEM hive is loaded at HKLM\\bmnone\n")):
        status, out = s.session.bootmove("/hive", key, "/l", "/fo", "json")
        s.check(f"{key!r} /l /fo json", ({"error": {"code": 0, "message": message}}, 1), (json.loads(out), status))
    s.session.fixture("deltree", "HKLM\\bmhive")
    s.bootmove(["/hive", "HKU\\bmhive", "/l"], "error: no SYSTEM hive is loaded at HKU\\bmhive\n", 1)
    s.bootmove(["/hive", "HKLM\\bmhive", "/d", "C:\\run.txt"], NOT_RUNNING, 1)
    s.value_is(running, "the running system's, at the end")


def stale_restart(s):
    """/c /stale takes out the operation whose source was removed and leaves
    the others byte for byte: the restart carries them out as before. A
    value left with nothing but stale operations is deleted, as the restart
    deletes it, so that checks for a pending restart clear."""
    d = "C:\\st\\"
    for name in ("a", "b", "c", "gone", "y"):
        s.write(f"{d}{name}.txt", name)
    live = [(d + "a.txt", d + "b.txt", REPLACE | DELAY), (d + "c.txt", None, REPLACE | DELAY)]
    s.platform_writes(live[:1] + [(d + "gone.txt", d + "x.txt", REPLACE | DELAY)] + live[1:])
    os.remove(s.session.host_path(d + "gone.txt"))
    s.bootmove(["/l", "/stale"], f"File {d}gone.txt -> {d}x.txt\n")
    s.bootmove(["/c", "/stale"], f"File {d}gone.txt -> {d}x.txt\n")
    s.value_is(recorded(live), "after /c /stale")
    s.bootmove(["/c", "/stale"], "")
    s.session.reboot()
    s.value_is(None, "after the restart")
    s.files_are({d + "a.txt": None, d + "b.txt": "a", d + "c.txt": None, d + "x.txt": None})
    s.bootmove(["/d", d + "y.txt"], f"Deleting {d}y.txt next reboot\n")
    os.remove(s.session.host_path(d + "y.txt"))
    s.bootmove(["/c", "/stale"], f"File {d}y.txt -> (delete)\n")
    s.value_is(None, "after /c /stale of its only operation")


def updater_chain_restart(s):
    """An updater's chain through a staging name: app.new onto app.stage,
    then app.stage (not there until the restart makes it) onto app.exe. /c
    /stale cancels only the operation whose source is really gone, and the
    restart puts the new version in place."""
    d = "C:\\k\\"
    s.write(d + "app.new", "new version")
    s.write(d + "app.exe", "old version")
    chain = [(d + "app.new", d + "app.stage", REPLACE | DELAY), (d + "app.stage", d + "app.exe", REPLACE | DELAY)]
    s.platform_writes(chain + [(d + "setup.tmp", None, REPLACE | DELAY)])
    s.bootmove(["/c", "/stale"], f"File {d}setup.tmp -> (delete)\n")
    s.value_is(recorded(chain), "after /c /stale")
    s.session.reboot()
    s.value_is(None, "after the restart")
    s.files_are({d + "app.exe": "new version", d + "app.new": None, d + "app.stage": None})


WHY_UNCHECKED = [
    ("windows_update_agent", "the Windows Update Agent's own answer, known only to the running service"),
    ("configuration_manager", "the Configuration Manager client's answer, known only to the running service"),
    ("dsc_configuration", "the DSC Local Configuration Manager's answer, known only to the running service"),
]


def why_reasons(s):
    """/why on the running system, each reason alone as Windows records it:
    its line, and its entry of the document. SOFTWARE is read in its 64-bit
    view by either program: the fixture sets the keys there, and the 32-bit
    view's value at its place in it. The stale file operations are counted.
    A key denied is an error for its reason alone; the others are still
    reported."""
    fx, d = s.session.fixture, "C:\\wy\\"
    ccs, sm, cv = "HKLM\\SYSTEM\\CurrentControlSet\\", "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager", \
        "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
    names = [ccs + "Control\\ComputerName\\" + k for k in ("ComputerName", "ActiveComputerName")]
    name, active = (bytes.fromhex(fx("-k", k, "-n", "ComputerName", "get").decode().split(":")[1]).decode(
        "utf-16-le").rstrip("\0") for k in names)

    def value(key, value_name, kind, data):
        fx("-k", key, "-n", value_name, "set", str(kind), data.hex())

    def why(entries, errors=(), status=0):
        lines = "".join(f"  {e['reason']}: {e['key']}{' ' + e['value'] if e['value'] else ''}{e['shown']}\n"
                        for e in entries)
        s.bootmove(["/why"], ("A restart is pending:\n" if entries else "No restart is pending.\n") + lines + "".join(
            f"Not checked: {r} ({w})\n" for r, w in WHY_UNCHECKED) + "".join(
            f"error: {e['reason']}: {e['key']} {e['value']}: {e['error']['message']}\n" for e in errors), status)
        got, out = s.session.bootmove("/why", "/fo", "json")
        s.check(f"/why /fo json with {[e['reason'] for e in entries]}", (status, {
            "restart_pending": bool(entries), "errors": list(errors),
            "reasons": [{k: v for k, v in e.items() if k != "shown"} for e in entries],
            "not_checked": [{"reason": r, "why": w} for r, w in WHY_UNCHECKED]}), (got, json.loads(out)))

    def entry(reason, key, value_name, shown, detail):
        return {"reason": reason, "key": key, "value": value_name, "detail": detail, "shown": shown}

    def operations():
        s.write(d + "live.txt", "live")
        s.write(d + "gone.txt", "gone")
        s.platform_writes([(d + "live.txt", d + "x.txt", REPLACE | DELAY), (d + "gone.txt", None, DELAY)])
        os.remove(s.session.host_path(d + "gone.txt"))

    cases = [  # how it is set, its entry, how it is taken away
        (operations,
         entry("file_operations", sm, None, " PendingFileRenameOperations = 2 operations (1 stale, which bootmove /c "
               "/stale clears)", {"operations": {"PendingFileRenameOperations": 2, "PendingFileRenameOperations2": 0},
                                  "stale": 1}), s.session.delete_value),
        (lambda: value(sm, "SetupExecute", 7, utf16("autocheck autochk *\0\0")),
         entry("setup_execute", sm, "SetupExecute", ' = "autocheck autochk *"', {"strings": ["autocheck autochk *"]}),
         lambda: fx("-k", sm, "-n", "SetupExecute", "delete")),
        (lambda: value(ccs + "Services\\Netlogon\\JoinDomain", "Domain", 1, utf16("EXAMPLE\0")),
         entry("domain_join", ccs + "Services\\Netlogon\\JoinDomain", None, "", None),
         lambda: fx("deltree", ccs + "Services\\Netlogon")),
        (lambda: value(names[0], "ComputerName", 1, utf16("BMRENAMED\0")),
         entry("computer_rename", names[0], "ComputerName", f" = BMRENAMED (ActiveComputerName: {active})",
               {"new_name": "BMRENAMED", "current_name": active}),
         lambda: value(names[0], "ComputerName", 1, utf16(name + "\0"))),
        (lambda: value(cv + "Component Based Servicing\\RebootPending", "bm", 4, struct.pack("<I", 1)),
         entry("component_servicing", cv + "Component Based Servicing\\RebootPending", None, "", None),
         lambda: fx("deltree", cv + "Component Based Servicing")),
        (lambda: value(cv + "WindowsUpdate\\Auto Update\\RebootRequired", "3f1e9b7a-0001", 4, struct.pack("<I", 1)),
         entry("windows_update", cv + "WindowsUpdate\\Auto Update\\RebootRequired", None,
               " (updates: 3f1e9b7a-0001)", {"updates": ["3f1e9b7a-0001"]}),
         lambda: fx("deltree", cv + "WindowsUpdate")),
        (lambda: value("HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Updates", "UpdateExeVolatile", 4, struct.pack("<I", 2)),
         entry("update_exe_volatile", "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Updates", "UpdateExeVolatile",
               " = 2 (a value known to go stale)", {"number": 2}),
         lambda: fx("deltree", "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Updates")),
        (lambda: value("HKLM\\SOFTWARE\\Microsoft\\ServerManager", "CurrentRebootAttempts", 4, struct.pack("<I", 3)),
         entry("server_manager", "HKLM\\SOFTWARE\\Microsoft\\ServerManager", "CurrentRebootAttempts", " = 3",
               {"number": 3}), lambda: fx("deltree", "HKLM\\SOFTWARE\\Microsoft\\ServerManager")),
        (lambda: value(cv + "RunOnce", "DVDRebootSignal", 3, b"\1\0\0\0"),
         entry("dvd_reboot_signal", cv + "RunOnce", "DVDRebootSignal", "", None),
         lambda: fx("-k", cv + "RunOnce", "-n", "DVDRebootSignal", "delete")),
    ]
    why([])
    for set_it, expected, take_away in cases:
        set_it()
        try:
            why([expected])
        finally:
            take_away()
    denied = "HKLM\\SOFTWARE\\Microsoft\\ServerManager"
    cases[2][0]()
    fx("dacl", denied, "D:P(D;;GA;;;WD)")
    try:
        message = s.session.error_text(5).decode().rstrip("\r\n")
        why([cases[2][1]], [{"reason": "server_manager", "key": denied, "value": "CurrentRebootAttempts",
                             "error": {"code": 5, "message": message}}], 1)
    finally:
        fx("dacl", denied, "D:P(A;;GA;;;WD)")
        fx("deltree", denied)
        cases[2][2]()
    why([])


SCENARIOS = [
    platform_value_listed, cancel_then_restart, schedule_then_restart, user_session, cancel_only_operation,
    unicode_restart, code_page_932, console_output, positional_pairs_restart, closing_nul_restart, second_value,
    wow64_redirection, lock_held_elsewhere, offline_hive, stale_restart, updater_chain_restart, why_reasons,
]


def run_scenarios(session, only):
    passed = failed = 0
    for scenario in SCENARIOS:
        if only and scenario.__name__ not in only:
            continue
        s = None
        try:
            s = Scenario(session)
            scenario(s)
            problems = s.problems
        except Skip as e:
            print(f"SKIP {scenario.__name__}: {e}")
            continue
        except SessionError as e:
            problems = [f"could not run: {e}"]
        finally:
            if s is not None:
                s.clean_up()
        for problem in problems:
            print(f"FAIL {scenario.__name__}: {problem}")
        passed, failed = (passed, failed + 1) if problems else (passed + 1, failed)
    return passed, failed


if __name__ == "__main__":
    main(run_scenarios)
