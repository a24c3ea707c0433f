#!/usr/bin/env bash
# Prints the figures: listing and cancelling in-process beside their floor
# (Google Benchmark), then the whole program under Wine beside the floor
# program and reg.exe, for the 64-bit and the 32-bit program (where this
# machine's Wine runs 32-bit programs), the Linux program beside hivexget,
# and the sizes. Usage: bench.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
bash scripts/install-deps.sh
for preset in bench windows-x64 windows-x86 linux; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done

echo "== in-process, through the in-memory platform, output to /dev/null"
build/bench/bootmove_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_format=json 2>/dev/null | python3 -c '
import json, sys
rows = {}
stale = {}
for b in json.load(sys.stdin)["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    name, size, *script = b["run_name"].split("/")
    if script:
        stale.setdefault(int(size), {})[int(script[0])] = b["real_time"]
        continue
    rows.setdefault(int(size), {})[name] = b
print("| operations | value bytes | floor | /l | /l vs floor | /c of the last | peak heap of /c |")
print("|---:|---:|---:|---:|---:|---:|---:|")
for size in sorted(rows):
    r = rows[size]
    floor, listing, cancel = (r[k]["real_time"] for k in ("BM_Floor", "BM_List", "BM_CancelLast"))
    value = r["BM_CancelLast"]["value_bytes"]
    peak = r["BM_CancelLast"]["peak_heap_bytes"]
    print(f"| {size:,} | {value:,.0f} | {floor:,.0f} us | {listing:,.0f} us | {listing / floor:.2f}x"
          f" | {cancel:,.0f} us | {peak:,.0f} B ({peak / value:.2f}x) |")
print()
print("/l /stale of moves onto names that differ only in letters of one script:")
print()
print("| moves | ASCII | Cyrillic | Greek | Latin-1 |")
print("|---:|---:|---:|---:|---:|")
for size in sorted(stale):
    print(f"| {size:,} | " + " | ".join(f"{stale[size][s]:,.1f} ms" for s in range(4)) + " |")
'
for arch in x64 x86; do
  echo
  echo "== under Wine, whole process, the $arch program"
  python3 tests/bench/wine_bench.py "build/windows-$arch/bootmove.exe" "build/windows-$arch/regfixture.exe" "$runs"
done
echo
echo "== on Linux, whole process: /hive FILE /l beside hivexget"
/usr/bin/python3 tests/bench/hive_bench.py build/linux/bootmove "$((runs * 2 + 1))" \
  build/windows-x64/bootmove.exe build/windows-x64/regfixture.exe
echo
echo "== size"
for exe in build/windows-*/bootmove.exe build/linux/bootmove; do echo "$exe: $(stat -c %s "$exe") bytes"; done
