#!/usr/bin/env python3
"""bootmove under Wine while other programs change the value at the same time.

    stress.py BOOTMOVE_EXE REGFIXTURE_EXE [ROUNDS [LISTS]]   (defaults 4 and 200)

- Many /c at once: 40 operations, then 20 `/c` started together, each for a
  different one; ROUNDS rounds. bootmove processes take turns, so nothing
  else writes meanwhile: every /c that says 0 must have taken its operation
  out, every one that says 1 must have printed the "kept changing" or the
  "holds the lock" message and left its operation, and the other operations
  must be there byte for byte.
- /c beside a writer: `regfixture append` keeps reading the value and
  writing it back with one operation more, as an installer adds operations,
  while /c runs one after another. Neither can lock the value against the
  other: the writer's read-modify-write can put back an operation that a /c
  took out while the writer was between its read and its write, and a write
  of the writer's between bootmove's last read and its write is lost. Both
  are counted and printed, not failed. Everything else must hold: every
  operation nobody cancelled, every one whose /c said 1, and the writer's
  operations that are there, in order, byte for byte, nothing torn.
- /l while the value grows: the writer appends while /l runs LISTS times;
  every /l must say 0 and print a whole value as it stood at some moment:
  the first operations, then the writer's first k, for some k.

Prints the figures of each part, then "N
passed, N failed"; exits 77 when this machine cannot run the program's width
of Wine.
"""

import os
import random
import subprocess
import tempfile
import threading
import time

from winesession import COMMAND_GUARD, START_TRIES, SessionError, cp1252_encode, crlf, failed_to_start, main, utf16

STRESS_DIR = "C:\\stress"
SEED = 20261208
CHANGING = crlf(b"error: the pending operations kept changing while they were read; nothing was changed\n")
# Another bootmove kept the lock past the wait: also nothing changed.
HELD = crlf(b"error: another program holds the lock on the pending operations; nothing was changed\n")
MARKERS = ("", "\xe9", "\u03a9", "\u6587\u4ef6")  # none, é, Ω, two CJK characters


def plan(count, stem):
    """(source, target or None) per operation: moves that replace and
    deletes, a quarter of the names with no character beyond ASCII."""
    operations = []
    for i in range(count):
        source = f"{STRESS_DIR}\\{stem}{MARKERS[i % 4]}{i:02d}.dat"
        operations.append((source, f"{source}.new" if i % 2 else None))
    return operations


def strings(operation):
    """The two strings of an operation as the system stores them."""
    source, target = operation
    return "\\??\\" + source, "" if target is None else "!\\??\\" + target


def stored(operations):
    return utf16("".join(s + "\0" + t + "\0" for s, t in map(strings, operations)) + "\0")


def pairs(data):
    """The value's strings, paired, up to the closing empty string."""
    texts = data.decode("utf-16-le", "surrogatepass").split("\0")
    found = []
    for i in range(0, len(texts) - 1, 2):
        if texts[i] == "":
            break
        found.append((texts[i], texts[i + 1]))
    return found


def writer_operations(prefix, count):
    """What `regfixture append PREFIX COUNT` adds: deletes of PREFIX00000 on."""
    return [(f"{prefix}{i:05d}", None) for i in range(count)]


def listed(operations):
    return crlf(cp1252_encode("".join(f"File {s} -> {t or '(delete)'}\n" for s, t in operations)))


def cancel_arguments(rng, operation):
    """/c by the source alone or with the target (the empty one for a
    delete), the ASCII letters sometimes in the other case."""
    source, target = operation
    args = ["/c", source] if rng.random() < 0.5 else ["/c", source, target or ""]
    if rng.random() < 0.5:
        args = [a if a == "/c" else "".join(c.swapcase() if c.isascii() else c for c in a) for a in args]
    return args


class Started:
    """A Windows program started without waiting for it; `finish` gives
    (status, stdout bytes, stderr text)."""

    def __init__(self, session, exe, args):
        self.session = session
        self.command = [session.loader, exe] + [a.encode("utf-8") for a in args]
        self.start()

    def start(self):
        self.out = tempfile.TemporaryFile()
        self.err = tempfile.TemporaryFile()
        self.process = subprocess.Popen(self.command, env=self.session.env, cwd=self.session.test_dir,
                                        stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err)

    def finish(self):
        for attempt in range(1, START_TRIES + 1):
            # A blocking wait, as the session's; a timer ends one that hangs.
            guard = threading.Timer(COMMAND_GUARD, self.process.kill)
            guard.start()
            try:
                status = self.process.wait()
            finally:
                guard.cancel()
            self.out.seek(0)
            self.err.seek(0)
            data = self.out.read()
            err = self.err.read().decode(errors="replace")
            self.out.close()
            self.err.close()
            if status < 0:
                raise SessionError(f"{self.process.args[1]} was ended by signal {-status}")
            # Wine could not start the program: it never ran.
            if failed_to_start(status, err) and attempt < START_TRIES:
                self.start()
                continue
            return status, data, err


class Writer:
    """`regfixture append` on the first value, as fast as it can, until
    `stop`."""

    def __init__(self, session, prefix):
        self.session = session
        self.prefix = prefix
        self.stop_name = f"{STRESS_DIR}\\stop-writer"
        self.stop_path = session.host_path(self.stop_name)
        if os.path.exists(self.stop_path):
            os.remove(self.stop_path)
        self.started = Started(session, session.fixture_exe, ["append", prefix, "99999", self.stop_name])

    def stop(self):
        """(operations added, times the value read was not the one last
        written)."""
        with open(self.stop_path, "w"):
            pass
        status, out, err = self.started.finish()
        os.remove(self.stop_path)
        if status != 0:
            raise SessionError(f"regfixture append: status {status}: {err.strip()}")
        added, seen = map(int, out.split())
        return added, seen


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, what, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL {what}: {detail}")


def describe(value, expected_operations):
    """What is missing and what is extra, for a failure line."""
    if value is None:
        return "the value is gone"
    have = pairs(value[1])
    want = [strings(o) for o in expected_operations]
    missing = [source for source, target in want if (source, target) not in have]
    extra = [source for source, target in have if (source, target) not in want]
    return (f"type {value[0]}, {len(have)} operations, expected {len(want)}; missing {missing[:5]}, "
            f"extra {extra[:5]}" + ("" if missing or extra else "; same operations, other bytes or order"))


def cancels_at_once(session, checks, rounds):
    rng = random.Random(SEED)
    operations = plan(40, "at-once-")
    said_0 = undone = 0
    for round_ in range(1, rounds + 1):
        session.set_value(7, stored(operations))
        chosen = rng.sample(range(len(operations)), 20)
        arguments = [cancel_arguments(rng, operations[i]) for i in chosen]
        started = [Started(session, session.exe, args) for args in arguments]
        results = [s.finish() for s in started]
        cut = set()
        for i, args, (status, out, err) in zip(chosen, arguments, results):
            if status == 0 and out == b"":
                cut.add(i)
            elif status != 1 or out not in (CHANGING, HELD):
                checks.check(f"at once, round {round_}: bootmove {' '.join(args)}", False,
                             f"status {status}, output {out!r}, stderr {err.strip()[:300]!r}")
        kept = [o for i, o in enumerate(operations) if i not in cut]
        value = session.get_value()
        checks.check(f"at once, round {round_}: the value", value == (7, stored(kept)), describe(value, kept))
        left = len(pairs(value[1])) if value else 0
        said_0 += len(cut)
        undone += max(left - len(kept), 0)
        print(f"at once, round {round_}: 20 /c started together, {len(cut)} said 0, "
              f"{sum(1 for r in results if r[0] == 1)} said 1; {left} of 40 operations left "
              f"(expected {len(kept)})")
    print(f"at once, {rounds} rounds: {said_0} of {20 * rounds} /c said 0; {undone} of those cuts were undone")


def cancels_beside_writer(session, checks, cancels=12):
    rng = random.Random(SEED + 1)
    operations = plan(30, "beside-")
    session.set_value(7, stored(operations))
    chosen = rng.sample(range(len(operations)), cancels)
    writer = Writer(session, f"{STRESS_DIR}\\writer-\u03a9-")
    start = time.monotonic()
    said = {}
    try:
        for i in chosen:
            args = cancel_arguments(rng, operations[i])
            status, out = session.bootmove(*args)
            said[i] = status
            if not (status == 0 and out == b"" or status == 1 and out in (CHANGING, HELD)):
                checks.check(f"beside a writer: bootmove {' '.join(args)}", False, f"status {status}, output {out!r}")
    finally:
        added, seen = writer.stop()
    elapsed = time.monotonic() - start
    value = session.get_value()
    present = set(pairs(value[1])) if value else set()
    put_back = [i for i in chosen if said[i] == 0 and strings(operations[i]) in present]
    gone = {i for i in chosen if said[i] == 0 and i not in put_back}
    # A write of the writer's that lands between bootmove's last read and its
    # write is lost: the registry cannot lock a value against another
    # program. Such losses are counted; everything else must hold.
    kept_by_writer = [o for o in writer_operations(writer.prefix, added) if strings(o) in present]
    lost = added - len(kept_by_writer)
    expected = [o for i, o in enumerate(operations) if i not in gone] + kept_by_writer
    checks.check("beside a writer: the value", value == (7, stored(expected)), describe(value, expected))
    print(f"beside a writer: {cancels} /c one after another in {elapsed:.1f} s while the writer added {added} "
          f"operations ({added / elapsed:.0f} a second; it found the value changed by another program {seen} "
          f"times); {sum(1 for s in said.values() if s == 0)} /c said 0, "
          f"{sum(1 for s in said.values() if s == 1)} said 1; {len(put_back)} cancelled operations put back by "
          f"the writer's own rewrite; {lost} of the writer's operations lost")


def lists_while_growing(session, checks, lists, batch=25):
    """The value starts again from the first operations every `batch` runs,
    so that it stays small enough for the runs to be quick."""
    operations = plan(20, "growing-")
    prefix = f"{STRESS_DIR}\\writer-\xe9-"
    head = listed(operations)
    lines = []  # what /l prints for each of the writer's operations, as far as needed
    seen = []  # how many of the writer's operations each run listed, None for a failed run
    added = 0
    start = time.monotonic()
    for first in range(0, lists, batch):
        session.set_value(7, stored(operations))
        writer = Writer(session, prefix)
        try:
            for run in range(first + 1, min(first + batch, lists) + 1):
                status, out, err = session.run(session.exe, ["/l"])
                k = out.count(b"\n") - len(operations)
                lines += [listed([o]) for o in writer_operations(prefix, k)[len(lines):]]
                if status == 0 and k >= 0 and out == head + b"".join(lines[:k]):
                    seen.append(k)
                else:
                    seen.append(None)
                    checks.check(f"/l while the value grows, run {run}", False,
                                 f"status {status}, {len(out)} bytes: {out[:80]!r}...{out[-80:]!r}; "
                                 f"stderr {err.strip()[:300]!r}")
        finally:
            added += writer.stop()[0]
    good = [k for k in seen if k is not None]
    checks.check(f"/l while the value grows: {lists} runs", len(good) == lists, f"{lists - len(good)} failed")
    changed = sum(1 for a, b in zip(seen, seen[1:]) if a != b)
    elapsed = time.monotonic() - start
    print(f"/l while the value grows: {len(good)} of {lists} runs said 0 and listed a whole value, in "
          f"{elapsed:.1f} s; {changed} listed a value other than the run before; the writer added {added} "
          f"operations ({added / elapsed:.0f} a second) in {-(-lists // batch)} batches, a run listed up to "
          f"{max(good, default=0)} of them")


def stress(session, args):
    rounds = int(args[0]) if args else 4
    lists = int(args[1]) if len(args) > 1 else 200
    os.makedirs(session.host_path(STRESS_DIR), exist_ok=True)
    session.delete_value(second=True)
    checks = Checks()
    for part in (lambda: cancels_at_once(session, checks, rounds), lambda: cancels_beside_writer(session, checks),
                 lambda: lists_while_growing(session, checks, lists)):
        try:
            part()
        except SessionError as e:
            checks.check("a part of the suite", False, f"could not run: {e}")
        session.delete_value()
    return checks.passed, checks.failed


if __name__ == "__main__":
    main(stress)
