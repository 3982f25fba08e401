#!/usr/bin/env bash
# Starts the simulated instrument on loopback, opens nv-term once the simulator listens, stops
# the simulator afterwards. When the simulator cannot start (its port is taken, most often by
# another nv52-sim), its own error is shown with a way out and nv-term is not started.
#   BUILD=dir scripts/demo.sh      (default build)
set -u
cd "$(dirname "$0")/.."
. scripts/sim-wait.sh
BUILD=${BUILD:-build}
if [ ! -x "$BUILD/nv52-sim" ]; then
    echo "The simulator ($BUILD/nv52-sim) is not built yet; starting nv-term alone."
    exec "$BUILD/nv-term"
fi
out=$BUILD/nv52-sim.out log=$BUILD/nv52-sim.log
# Emptied before the simulator starts: the wait below must never read an earlier run's lines
# (the simulator's own redirection may come a moment after the wait's first look).
: >"$out"
: >"$log"
"$BUILD/nv52-sim" --log >"$out" 2>"$log" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT
address=$(sim_address $sim "$out" tcp)
if [ -z "$address" ]; then
    echo "The simulator did not start:"
    sed 's/^/    /' "$log"
    echo "Its port (TCP 4444, UDP 4455 on 127.0.0.1) may be taken by another nv52-sim:"
    echo "'pgrep -a nv52-sim' lists them; stop it, or run one on free ports yourself:"
    echo "    $BUILD/nv52-sim --port 0 --discovery-port 0"
    echo "and in $BUILD/nv-term choose 3 (Net), 3 (Enter host) and the address it prints."
    exit 1
fi
echo "Simulator running on $address (its log: $log)."
echo "Choose 3 (Net), then 0 (127.0.0.1), then Enter; type he for help, q to quit."
echo "(make demo-bench shows nv-service flashing a bench of eight at once.)"
"$BUILD/nv-term"
