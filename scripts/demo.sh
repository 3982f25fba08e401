#!/usr/bin/env bash
# Starts the simulated instrument on loopback, opens nv-term, stops the simulator afterwards.
set -u
cd "$(dirname "$0")/.."
if [ ! -x build/nv52-sim ]; then
    echo "The simulator (build/nv52-sim) is not built yet; starting nv-term alone."
    exec build/nv-term
fi
build/nv52-sim --log >/dev/null 2>build/nv52-sim.log &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null' EXIT
sleep 0.3
echo "Simulator running on 127.0.0.1:4444 (its log: build/nv52-sim.log)."
echo "Choose 3 (Net), then 0 (127.0.0.1), then Enter; type he for help, q to quit."
build/nv-term
