#!/usr/bin/python3
"""The Linux program's `/hive FILE /l` beside hivexget reading the same
value (`hivexget FILE 'ControlSet001\\Control\\Session Manager'
PendingFileRenameOperations`), whole processes, output to /dev/null: on a
hive of about 15 MB (many other keys and values, a small pending value), and
on a small hive whose value holds 5,000 operations. Each run times the two
one after the other, in a turning order; the figures are medians, the ratio
taken run by run. And a hive of about 12 MB whose logs (about 6 MB, three
rounds of changed values) bootmove applies first, beside hivexget on the file
alone. Then how much 1,000 cancels, one a run, grow a hive whose value
holds about 44 KB, stored as Windows stores it. Prints; asserts nothing.

    hive_bench.py BOOTMOVE [RUNS]
"""

import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import hivex

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "linux"))
from hives import big_value, system_hive, utf16, write_logs  # noqa: E402


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


def big_hive_value(path, operations):
    """A value of OPERATIONS, stored as Windows stores more than 16,344 bytes (hivex writes one cell)."""
    system_hive(path, 1, {1: (pending(operations), None)})
    big_value(path, 1, "PendingFileRenameOperations")


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
    big_value(path, 1, "PendingFileRenameOperations")
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
        cases = (("about 15 MB of other keys", lambda p: big_hive(p, 8)),
                 ("5,000 operations", lambda p: big_hive_value(p, 5000)),
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
            print(f"| {label} | {os.path.getsize(path):,} B | {statistics.median(times['ours']) * 1000:.1f} ms"
                  f" | {statistics.median(times['theirs']) * 1000:.1f} ms | {statistics.median(ratios):.2f}x"
                  f" | {peak(ours):,} KiB |")
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


if __name__ == "__main__":
    main()
