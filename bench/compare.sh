#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs this tree's copy benchmark against the same benchmark built on the
# file table of an earlier commit, the two builds taking turns round by round
# so that both meet the same load, and prints for each benchmark the median
# real time of both, their ratio (this tree / base) and the median counters.
#
#   bench/compare.sh [BASE [ROUNDS [FILTER]]]    (main, 10, every benchmark)
#
# BASE is any commit git knows. This tree's benchmark is built in build/
# (configure it first); the base's in a temp folder removed at exit.
set -euo pipefail

base=${1:-main}
rounds=${2:-10}
filter=${3:-.}
root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
work=$(mktemp -d "${TMPDIR:-/tmp}/tavmar-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The base's sources with this tree's benchmark, which uses only the file
# table's public members.
mkdir "$work/base"
git -C "$root" archive "$base" | tar -x -C "$work/base"
cp "$root/bench/CopyBench.cpp" "$work/base/bench/CopyBench.cpp"
cmake -S "$work/base" -B "$work/base/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVMAR_BUILD_TESTS=OFF -DTAVMAR_BUILD_BENCH=ON >/dev/null
cmake --build "$work/base/build" --target tavmar_bench >/dev/null
cmake --build "$root/build" --target tavmar_bench >/dev/null

for ((round = 1; round <= rounds; round++)); do
    for side in base this; do
        program="$root/build/bench/tavmar_bench"
        [ "$side" = this ] || program="$work/base/build/bench/tavmar_bench"
        "$program" --benchmark_filter="$filter" --benchmark_out_format=json \
            --benchmark_out="$work/$side-$round.json" >/dev/null 2>&1
    done
    echo "round $round of $rounds" >&2
done

python3 - "$work" <<'PY'
import glob, json, os, statistics, sys
runs = {}  # (name, side) -> [benchmark entries]
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.json"))):
    side = os.path.basename(path).split("-")[0]
    for entry in json.load(open(path))["benchmarks"]:
        runs.setdefault((entry["name"], side), []).append(entry)
known = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
         "repetitions", "repetition_index", "threads", "iterations", "real_time", "cpu_time",
         "time_unit", "bytes_per_second", "items_per_second"}
print(f"{'benchmark':30} {'base':>12} {'this':>12} {'ratio':>6}")
for name in dict.fromkeys(name for name, _ in runs):
    entries = {side: runs.get((name, side), []) for side in ("base", "this")}
    if not entries["base"] or not entries["this"]:
        continue
    median = {side: statistics.median(e["real_time"] for e in entries[side]) for side in entries}
    unit = entries["this"][0]["time_unit"]
    print(f"{name:30} {median['base']:>9.1f} {unit:2} {median['this']:>9.1f} {unit:2}"
          f" {median['this'] / median['base']:>6.3f}")
    for counter in sorted(set(entries["this"][0]) - known):
        values = {side: statistics.median(e[counter] for e in entries[side]) for side in entries}
        print(f"  {counter:28} {values['base']:>12.0f} {values['this']:>12.0f}")
PY
