# Sourced by the demos. sim_address PID OUT KIND prints the address the simulator PID reports in
# its output file OUT with "listening KIND ADDRESS", once its sockets are bound; nothing when it
# ends first. On a busy machine the start can take seconds, so the wait is long (it ends at once
# when the simulator does).
sim_address() {
    local pid=$1 out=$2 kind=$3
    for _ in $(seq 600); do
        grep -q "^listening $kind " "$out" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    sed -n "s/^listening $kind //p" "$out"
}
