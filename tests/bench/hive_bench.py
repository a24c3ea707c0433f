#!/usr/bin/python3
"""The Linux program's `/hive FILE /l` beside hivexget reading the same
value (`hivexget FILE 'ControlSet001\\Control\\Session Manager'
PendingFileRenameOperations`), whole processes, output to /dev/null: on a
hive of about 15 MB (many other keys and values, a small pending value), on
a small hive whose value holds 5,000 operations (stored as Windows stores
big data), and on a hive of 2 GiB (a sparse file: the 15 MB hive's keys,
then one bin of free space). Each run times the two one after the other, in
a turning order; the figures are medians, the ratio taken run by run. And a
hive of about 12 MB whose logs (about 6 MB, three rounds of changed values)
bootmove applies first, beside hivexget on the file alone. The peak memory
of each /l, beside the program at rest (--version). With the Windows
program, its /hive FILE /l under Wine on the 5,000 operations, beside /l of
the same value in the running registry. And how much 1,000 cancels, one a
run, grow a hive whose value holds about 44 KB, stored as Windows stores
it. Prints tables; asserts nothing.

    hive_bench.py BOOTMOVE [RUNS [BOOTMOVE_EXE REGFIXTURE_EXE]]
"""

import glob
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import hivex

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "linux"))
from hives import VALUES, big_value, checksum, system_hive, utf16, write_logs  # noqa: E402


def pending(operations):
    strings = []
    for i in range(operations):
        source = f"C:\\Windows\\Temp\\upd\\f{i:05d}.dll"
        strings += ["\\??\\" + source, "" if i % 2 else "!\\??\\" + source[:-3] + "old"]
    return utf16("\0".join(strings) + "\0\0")


def big_hive(path, megabytes):
    system_hive(path, 1, {1: (pending(20), None)})
    h = hivex.Hivex(path, write=True)
    software = h.node_add_child(h.root(), "Software")
    filler = bytes(range(256)) * 15  # 3,840 bytes a value, in one cell
    parent = software
    for i in range(megabytes * 1024 * 1024 // (len(filler) + 200)):
        # Subkey lists of 64 at most: hivex copies a list for each new key.
        if i % 64 == 0:
            parent = h.node_add_child(software, f"Group{i // 64:04d}")
        h.node_set_value(h.node_add_child(parent, f"Key{i:05d}"), {"key": "Data", "t": 3, "value": filler})
    h.commit(path)


def giant_hive(path, megabytes):
    """big_hive, then one bin of free space up to a hive of 2 GiB, the file sparse."""
    big_hive(path, megabytes)
    image = bytearray(open(path, "rb").read())
    end = len(image)
    size = (1 << 31) - (end - 4096)
    image += struct.pack("<4sIIQQIi", b"hbin", end - 4096, size, 0, 0, 0, size - 32)
    struct.pack_into("<I", image, 40, 1 << 31)
    struct.pack_into("<I", image, 508, checksum(image))
    with open(path, "wb") as f:
        f.write(image)
        f.truncate(4096 + (1 << 31))


def operations_hive(path, operations):
    system_hive(path, 1, {1: (pending(operations), None)})
    big_value(path, 1, VALUES[0])


def logged_hive(path, megabytes):
    """big_hive, and logs of three rounds of changes to a twelfth of its values each, the last round in .LOG1."""
    big_hive(path, megabytes)
    shutil.copy(path, path + ".new")
    states = []
    for round_ in range(3):
        h = hivex.Hivex(path + ".new", write=True)
        groups = h.node_children(h.node_get_child(h.root(), "Software"))
        for key in [key for group in groups for key in h.node_children(group)][round_::12]:
            h.node_set_value(key, {"key": "Data", "t": 3, "value": bytes([round_]) * 3840})
        h.commit(path + ".new")
        states.append(open(path + ".new", "rb").read())
    os.remove(path + ".new")
    write_logs(path, states, [(1, 20), (1, 21), (0, 22)])


def timed(command):
    started = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - started


def peak(command):
    """The command's peak resident memory in KiB, as GNU time reads it (the
    rusage of a child of this process would count this process's pages)."""
    done = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    return int(done.stderr.strip().splitlines()[-1])


def cancel_growth(program, folder, cancels=1000):
    """The file's size before and after CANCELS runs of /c, each cancelling one delete of a value of 44 bytes an
    operation (about 44 KB), which Windows stores as big data."""
    path = os.path.join(folder, "SYSTEM")
    sources = [f"C:\\Temp\\f{i:04d}.tm" for i in range(cancels)]
    system_hive(path, 1, {1: (utf16("".join(f"\\??\\{source}\0\0" for source in sources) + "\0"), None)})
    big_value(path, 1, VALUES[0])
    before = os.path.getsize(path)
    started = time.perf_counter()
    for source in sources:
        subprocess.run([program, "/hive", path, "/c", source], stdout=subprocess.DEVNULL, check=True)
    print(f"\n{cancels:,} cancels, one a run, of a value of {44 * cancels + 2:,} B: the file from {before:,} B to"
          f" {os.path.getsize(path):,} B ({os.path.getsize(path) - before:+,} B),"
          f" {(time.perf_counter() - started) / cancels * 1000:.1f} ms a run")


def main():
    program = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    print("| hive | size | bootmove /hive FILE /l | hivexget | ratio | peak memory of /l |")
    print("|---|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        rest = peak([program, "--version"])
        cases = (("about 15 MB of other keys", lambda p: big_hive(p, 8)),
                 ("5,000 operations", lambda p: operations_hive(p, 5000)),
                 ("2 GiB, sparse", lambda p: giant_hive(p, 8)),
                 ("about 12 MB, and its logs", lambda p: logged_hive(p, 6)))
        for label, make in cases:
            path = os.path.join(folder, "SYSTEM")
            make(path)
            logs = sum(os.path.getsize(log) for log in glob.glob(path + ".LOG*"))
            label += f" ({logs:,} B)" if logs else ""
            ours = [program, "/hive", path, "/l"]
            theirs = ["hivexget", path, "ControlSet001\\Control\\Session Manager", "PendingFileRenameOperations"]
            times = {"ours": [], "theirs": []}
            ratios = []
            for run in range(runs):
                order = (("ours", ours), ("theirs", theirs)) if run % 2 == 0 else (("theirs", theirs), ("ours", ours))
                pair = {name: timed(command) for name, command in order}
                for name in pair:
                    times[name].append(pair[name])
                ratios.append(pair["ours"] / pair["theirs"])
            memory = peak(ours)
            print(f"| {label} | {os.path.getsize(path):,} B | {statistics.median(times['ours']) * 1000:.1f} ms"
                  f" | {statistics.median(times['theirs']) * 1000:.1f} ms | {statistics.median(ratios):.2f}x"
                  f" | {memory:,} KiB ({memory - rest:+,} KiB beside the program at rest) |")
            for log in glob.glob(path + ".LOG*"):
                os.remove(log)
        # The cost follows the hive, not the file: a small hive at the start
        # of a sparse 2 GiB file.
        path = os.path.join(folder, "SYSTEM")
        system_hive(path, 1, {1: (pending(20), None)})
        hive = os.path.getsize(path)
        os.truncate(path, 2 << 30)
        started = time.perf_counter()
        memory = peak([program, "/hive", path, "/c", "C:\\Windows\\Temp\\upd\\f00000.dll"])
        print(f"\n/c on a {hive:,}-byte hive at the start of a sparse 2 GiB file: {time.perf_counter() - started:.3f} s,"
              f" peak memory {memory:,} KiB, the file {os.path.getsize(path):,} B afterwards")
        cancel_growth(program, folder)
        if len(sys.argv) > 4:
            wine(sys.argv[3], sys.argv[4], folder, runs)


def wine(exe, fixture, folder, runs):
    """The Windows program's /hive FILE /l on 5,000 operations beside its /l of the same value in the registry."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
    import winesession
    session = winesession.WineSession(exe, fixture)
    try:
        session.start()
    except winesession.Skip as why:
        print(f"\n{exe} under Wine: skipped ({why})")
        session.stop()
        return
    try:
        path = os.path.join(folder, "SYSTEM")
        operations_hive(path, 5000)
        session.set_value(7, pending(5000))
        for args in (["/hive", session.dos_name(path), "/l"], ["/l"]):
            status, out, err = session.run(session.exe, args)
            if status != 0 or out.count(b"\n") != 5000:
                raise SystemExit(f"{exe} {' '.join(args)}: status {status}: {err.strip()}")
        commands = {"file": [session.loader, session.exe, "/hive", session.dos_name(path), "/l"],
                    "registry": [session.loader, session.exe, "/l"]}
        times = {name: [] for name in commands}
        for run in range(runs):
            for name in (("file", "registry") if run % 2 == 0 else ("registry", "file")):
                started = time.perf_counter()
                subprocess.run(commands[name], env=session.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                times[name].append(time.perf_counter() - started)
        print(f"\n{os.path.basename(os.path.dirname(exe))} under Wine, 5,000 operations: /hive FILE /l "
              f"{statistics.median(times['file']) * 1000:.0f} ms, /l of the running registry "
              f"{statistics.median(times['registry']) * 1000:.0f} ms")
    finally:
        session.stop()


if __name__ == "__main__":
    main()
