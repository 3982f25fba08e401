#!/usr/bin/env bash
# Runs the benchmarks (make bench): every figure beside its baseline measured in the same run,
# the ratio, and at the end how many targets were met. Never fails on a time.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
cmake --build "$BUILD" -j"$(nproc)" --target bench_link >/dev/null || exit 1
cmake --build "$BUILD" -j"$(nproc)" --target bench_parser >/dev/null 2>&1 || true
cmake --build "$BUILD" -j"$(nproc)" --target bench_spc >/dev/null 2>&1 || true
cmake --build "$BUILD" -j"$(nproc)" --target bench_service >/dev/null || exit 1

out=$(mktemp)
trap 'rm -f "$out"' EXIT
for prog in "$BUILD"/bench/bench_parser "$BUILD"/bench/bench_link "$BUILD"/bench/bench_spc \
            "$BUILD"/bench/bench_service; do
    [ -x "$prog" ] || { echo "$(basename "$prog"): not built"; continue; }
    echo "== $(basename "$prog")"
    timeout 600 "$prog" | tee -a "$out" | grep -v '^#targets'
done
awk '/^#targets/ { met += $2; total += $3 } END { printf "%d of %d targets met\n", met, total }' "$out"
