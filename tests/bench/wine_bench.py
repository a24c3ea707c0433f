#!/usr/bin/env python3
"""The whole process under Wine: `bootmove.exe /l` beside two others on values
of 1,000, 10,000 and 100,000 operations: the floor program (listfloor.exe,
built beside it: it reads the value and writes its raw bytes with one
WriteFile), and Wine's own reg.exe (`reg query ... /v
PendingFileRenameOperations`, what an administrator types instead). Each run
times the three one after another, in a turning order, and the figures are
the medians of the per-run ratios. Then "/l /fo json" beside "/l" on 26,000
operations; "/c" of the last operation of the largest value; the peak resident
size of that "/c" beside one on a tiny value, as a multiple of the value's
stored (UTF-16) size. Prints tables.

    wine_bench.py BOOTMOVE_EXE REGFIXTURE_EXE [RUNS]
"""

import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from winesession import Skip, WineSession, utf16  # noqa: E402

SIZES = (1000, 10000, 100000)
JSON_SIZE = 26000
KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager"


def make_value(operations):
    """About 60 characters a string: moves with and without replacement,
    deletes; stored as UTF-16."""
    strings = []
    last = None
    for i in range(operations):
        source = f"C:\\Program Files\\Vendor\\Product\\component-{100000 + i}.dll"
        strings.append("\\??\\" + source)
        strings.append("" if i % 3 == 2 else ("!\\??\\" if i % 3 == 0 else "\\??\\") + source[:-3] + "new")
        last = source
    return utf16("\0".join(strings) + "\0\0"), last


def run_time(session, command):
    """Wall time of one run of `command` (a list for the loader), output to
    /dev/null."""
    start = time.perf_counter()
    done = subprocess.run([session.loader] + command, env=session.env, cwd=session.test_dir,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed with status {done.returncode}")
    return elapsed


def paired(session, commands, runs):
    """Times each command once a run, in a turning order; gives the median
    time of each and the medians of the first's ratio to each other."""
    times = [[] for _ in commands]
    for run in range(runs):
        for k in range(len(commands)):
            which = (run + k) % len(commands)
            times[which].append(run_time(session, commands[which]))
    medians = [statistics.median(t) for t in times]
    ratios = [statistics.median(a / b for a, b in zip(times[0], t)) for t in times[1:]]
    return medians, ratios


def peak_rss_kib(session, command):
    """Peak resident size of one run, from a fresh Python child so that the
    maximum belongs to this run alone."""
    probe = (
        "import resource, subprocess, sys;"
        "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL);"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)"
    )
    out = subprocess.run([sys.executable, "-c", probe, session.loader] + command, env=session.env,
                         cwd=session.test_dir, capture_output=True, text=True, check=True)
    return int(out.stdout.strip())


def load(session, data):
    path = os.path.join(session.drive_c, "bench-value.bin")
    with open(path, "wb") as f:
        f.write(data)
    session.fixture("load", "7", "C:\\bench-value.bin")


def bench(session, args):
    runs = int(args[0]) if args else 7
    floor = os.path.join(os.path.dirname(session.exe), "listfloor.exe")
    listing = [session.exe, "/l"]
    rows = []
    for operations in SIZES:
        data, last = make_value(operations)
        load(session, data)
        medians, ratios = paired(session, [listing, [floor], ["reg", "query", KEY, "/v", "PendingFileRenameOperations"]],
                                 runs)
        rows.append((operations, len(data), medians, ratios))

    data, last = make_value(JSON_SIZE)
    load(session, data)
    (json_time, text_time), (json_ratio,) = paired(session, [listing + ["/fo", "json"], listing], runs)

    data, last = make_value(SIZES[-1])
    cancel_times = []
    for _ in range(runs):
        load(session, data)
        cancel_times.append(run_time(session, [session.exe, "/c", last]))
    load(session, data)
    peak_cancel = peak_rss_kib(session, [session.exe, "/c", last])
    tiny = utf16("\\??\\C:\\a\0\0\0")
    load(session, tiny)
    peak_small = peak_rss_kib(session, [session.exe, "/c", "C:\\a"])

    print(f"Wine, {session.bits}-bit, whole process, medians of {runs} paired runs:")
    print("| operations | value bytes | bootmove /l | listfloor | reg query | /l vs floor | /l vs reg query |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for operations, size, (ours, low, theirs), (to_floor, to_reg) in rows:
        print(f"| {operations:,} | {size:,} | {ours * 1000:.0f} ms | {low * 1000:.0f} ms | {theirs * 1000:.0f} ms "
              f"| {to_floor:.2f}x | {to_reg:.2f}x |")
    print()
    print(f"/l /fo json of {JSON_SIZE:,} operations (two file checks for a move, one for a delete): "
          f"{json_time * 1000:.0f} ms, /l {text_time * 1000:.0f} ms ({json_ratio:.2f}x /l)")
    print(f"/c of the last of {SIZES[-1]:,} operations: {statistics.median(cancel_times) * 1000:.0f} ms")
    difference = (peak_cancel - peak_small) * 1024
    print(f"peak resident size of that /c: {peak_cancel / 1024:.1f} MiB; of /c on a {len(tiny)}-byte value: "
          f"{peak_small / 1024:.1f} MiB; difference {difference / 1048576:.1f} MiB for a value of "
          f"{len(data) / 1048576:.1f} MiB stored ({len(data):,} bytes): {difference / len(data):.2f}x the value")
    return 1, 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    try:
        with WineSession(sys.argv[1], sys.argv[2]) as wine_session:
            wine_session.start()
            bench(wine_session, sys.argv[3:])
    except Skip as e:
        print(f"not measured: {e}")
