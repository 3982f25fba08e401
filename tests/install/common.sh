# Shared by the install, package and demo checks: the files an installation holds, a run of the
# installed programs as a user would run them, and a network namespace of the test's own.

# Run from make (make test, make package), the outer make's job server is not ours to use.
unset MAKEFLAGS MFLAGS MAKELEVEL

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# own_network_namespace "$@": reruns the calling script in a network namespace of its own with
# loopback up, so nothing it starts reaches another address; exit 77 (skipped) where none can be.
own_network_namespace() {
    if [ "${NV_OWN_NETNS:-}" != 1 ]; then
        unshare -n true 2>/dev/null || { echo "SKIP: no network namespace (unshare -n)"; exit 77; }
        exec env NV_OWN_NETNS=1 unshare -n "$0" "$@"
    fi
    ip link set lo up
}

# The files under the prefix, one a line; nv-spc's too when argument 1 is 1.
expected_files() {
    awk -v spc="$1" '!/^#/ && NF && ($2 != "nv-spc" || spc == 1) { print $1 }' \
        "$(dirname "${BASH_SOURCE[0]}")/installed_files.txt"
}

# check_listing ACTUAL_FILE WITH_SPC: the sorted listing equals the expected one.
check_listing() {
    local actual=$1 with_spc=$2
    if ! diff -u <(expected_files "$with_spc" | sort) <(sort "$actual"); then
        fail "installed files differ from the expected list (- expected, + installed)"
    fi
}

# check_programs BINDIR VERSION: the banner with the build's version, the simulator's help, and
# a session of the installed nv-term with the installed nv52-sim on loopback.
check_programs() {
    local bin=$1 version=$2 out
    out=$("$bin/nv-term" usb) || fail "nv-term usb exited with $?"
    [ "$out" = $'--- ORVANTIS NV-TERM ---\nver:'"$version" ] ||
        fail "nv-term usb printed: $out"
    "$bin/nv52-sim" --help | grep '^Usage: nv52-sim' >/dev/null || fail "nv52-sim --help"

    local work
    work=$(mktemp -d)
    # There before the simulator's shell opens it: a read of it never fails (and ends the script).
    : >"$work/sim.out"
    "$bin/nv52-sim" --port 0 --discovery-port 0 >"$work/sim.out" 2>/dev/null &
    local sim=$!
    local port="" i
    for i in $(seq 50); do
        port=$(sed -n 's/^listening tcp 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.out")
        [ -n "$port" ] && break
        sleep 0.1
    done
    local service=""
    if [ -n "$port" ]; then
        out=$(cd "$work" && printf '3\n3\n127.0.0.1:%s\nve\nq\n' "$port" |
              timeout 30 "$bin/nv-term" 2>&1) || true
        service=$(cd "$work" && timeout 30 "$bin/nv-service" -d "127.0.0.1:$port" \
                  --record "$work/service.jsonl" info 2>&1) || true
    fi
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null || true
    rm -rf "$work"
    [ -n "$port" ] || fail "the installed nv52-sim did not start"
    case $out in
        *"Connecting device...Ok."*"Overall		= NV52-"*) ;;
        *) fail "a session of the installed nv-term with nv52-sim: $out" ;;
    esac
    case $service in
        *"C0001234: versions: overall NV52-"*"C0001234  0 done  info ok"*) ;;
        *) fail "the installed nv-service with nv52-sim: $service" ;;
    esac
}
