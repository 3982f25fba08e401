#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a bounded time,
# starting from its committed seed corpus (fuzz/corpus/<target>). New inputs go to a working
# corpus under build-fuzz, never into the repository; a crash leaves its input in
# build-fuzz/artifacts/ and makes the script fail.
#
#   scripts/fuzz.sh                 every target, 60 s each
#   FUZZ_SECONDS=300 scripts/fuzz.sh fuzz_parser
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-$(nproc)}
build="$PWD/build-fuzz"
all=(fuzz_parser fuzz_discovery fuzz_q8_events fuzz_upload fuzz_input fuzz_spc)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

command -v clang++ >/dev/null || { echo "fuzz: clang++ is needed" >&2; exit 1; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNV_TESTS=OFF -DNV_WERROR=ON \
      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

mkdir -p "$build/artifacts"
summary=()
status=0
for t in "${targets[@]}"; do
    work="$build/corpus/$t"
    mkdir -p "$work"
    log="$build/$t.log"
    echo "fuzz: $t for ${seconds} s"
    if ! "$build/fuzz/$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
            "$work" "$PWD/fuzz/corpus/$t" >"$log" 2>&1; then
        status=1
        tail -n 40 "$log"
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    summary+=("$(printf '%-16s %10s executions in %s s' "$t" "$runs" "$seconds")")
done
printf '%s\n' "${summary[@]}"
if [ $status -ne 0 ]; then
    echo "fuzz: a target failed; its input is in build-fuzz/artifacts/" >&2
fi
exit $status
