#!/usr/bin/env bash
# make demo-bench: a bench of eight simulated instruments on free loopback ports, and nv-service
# finding them, flashing them all at once with a demo container and showing what it recorded.
# The eighth instrument comes back from the flash with its old firmware, to show a failure and
# its exit code. Everything lives in a temporary folder that goes at the end.
#   BUILD=dir scripts/demo-bench.sh      (default build)
set -u
cd "$(dirname "$0")/.."
. scripts/sim-wait.sh
BUILD=${BUILD:-build}
for program in nv52-sim nv-service nv-term; do
    [ -x "$BUILD/$program" ] || { echo "$BUILD/$program is not built: run make first."; exit 1; }
done
BUILD=$(cd "$BUILD" && pwd)
work=$(mktemp -d /tmp/nv-demo-bench-XXXXXX)
"$BUILD/nv52-sim" --instruments 8 --port 0 --discovery-port 0 --block-ms 5 --boot-ms 1500 \
    --fault-on 8 --keep-version >"$work/sim.out" 2>"$work/sim.log" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$work"' EXIT
udp=$(sim_address $sim "$work/sim.out" udp)
if [ -z "$udp" ]; then
    echo "The simulator did not start:"
    sed 's/^/    /' "$work/sim.log"
    exit 1
fi
# A firmware image begins with its version text, NUL-terminated; the rest is any bytes.
{ printf 'NV52-2.15.0'; head -c 21 /dev/zero; head -c 2000000 /dev/zero | tr '\0' '\145'; } \
    >"$work/demo.tar"
"$BUILD/nv-term" cxfw "$work/demo.tar" "$work/demo.xfw" 2.15 >/dev/null || exit 1

run() {
    echo
    echo "\$ nv-service $*"
    (cd "$work" && "$BUILD/nv-service" "$@")
}
echo "Eight simulated instruments answer discovery on $udp (the eighth keeps its old firmware)."
run list --discover "$udp" --discover-ms 500
run --all --discover "$udp" --discover-ms 500 --record service.jsonl flash demo.xfw
status=$?
echo "(exit code $status, the worst of the eight: 8 is a failed verification; 'man nv-service'" \
     "lists every code)"
run history --record service.jsonl C0001241
exit 0
