#!/usr/bin/env bash
# `make demo` in a network namespace of its own: with its ports free, a whole session against the
# simulator it started; with them taken by another nv52-sim, its error, a way out and no nv-term.
#   demo_test.sh SOURCE_DIR BUILD_DIR        (exit 77: no network namespace here, skipped)
set -euo pipefail
src=$1 build=$2
. "$src/tests/install/common.sh"
own_network_namespace "$@"
demo() { printf "$1" | BUILD=$build timeout 150 "$src/scripts/demo.sh" 2>&1; }

out=$(demo '3\n0\n\nve\nq\n') || fail "the demo failed: $out"
case $out in
    "Simulator running on 127.0.0.1:4444 "*"--- ORVANTIS NV-TERM ---"*"device...Ok."*"= NV52-"*) ;;
    *) fail "a session in the demo: $out" ;;
esac

"$build/nv52-sim" >/dev/null 2>&1 &
other=$!
trap 'kill $other 2>/dev/null || true' EXIT
for _ in $(seq 600); do ss -ltn | grep -q ':4444 ' && break; sleep 0.1; done
status=0
out=$(demo '0\n') || status=$?
[ $status -ne 0 ] || fail "the demo succeeded with its port taken: $out"
case $out in
    "The simulator did not start:"*"nv52-sim: "*"pgrep -a nv52-sim"*"--port 0"*) ;;
    *) fail "the demo with its port taken: $out" ;;
esac
case $out in *ORVANTIS*) fail "nv-term started without a simulator: $out" ;; esac

# make demo-bench: eight instruments flashed at once, the eighth failing its verification.
out=$(BUILD=$build timeout 240 "$src/scripts/demo-bench.sh" 2>&1) || fail "demo-bench: $out"
case $out in
    *"\$ nv-service list"*"net  127.0.0.1:"*"serial C0001241"*"C0001234  0 done"*) ;;
    *) fail "demo-bench: $out" ;;
esac
case $out in
    *"C0001241  8 verification failed  flash failed"*"(exit code 8,"*"> 8 (verification"*) ;;
    *) fail "demo-bench: $out" ;;
esac
echo "demo: a session with the simulator up; its error and a way out with the port taken;" \
     "demo-bench's eight instruments"
