#!/usr/bin/env bash
# make test-windows: the end-to-end tests (build/tests/e2e, the Linux test program) against
# build-win/nv-term.exe under Wine, with the Linux nv52-sim on loopback, and the loopback cases
# of build/tests/service against build-win/nv-service.exe. The Wine prefix is
# created for this run in a temporary folder (never the user's ~/.wine) and removed at the end;
# its server is kept running for the whole run, so that every nv-term.exe starts quickly.
# NV_TERM_CMD tells the tests to run the Windows program wherever they run nv-term (see
# tests/support/process.h); its CR LF line ends are read as LF there. NV_HOLD_CMD is the reader
# that holds a file open as C's fopen does (nv-hold.exe). Then the Windows-only tests
# (build-win/win_tests.exe: the Windows transports against fakes of their system calls, TCP
# against a peer on loopback, the file replacement, the console) run under Wine too. Wine
# converts the command line and file names with the locale's character set, so the locale is
# UTF-8 here.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

WINE=${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
WINESERVER=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
export LC_ALL=C.UTF-8
for need in "$WINE" "$WINESERVER" build-win/nv-term.exe build-win/nv-service.exe \
            build-win/win_tests.exe build-win/nv-hold.exe build/tests/e2e build/tests/service \
            build/nv52-sim; do
    # Under plain ctest (no Windows build made) the tier is reported skipped, not failed.
    [ -x "$need" ] || { echo "test-windows: $need is missing (make build windows; apt-get install wine64)"; exit "${NV_MISSING_STATUS:-1}"; }
done

tmp=$(mktemp -d /tmp/nvterm-wine-XXXXXX)
export WINESERVER WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
cleanup() {
    timeout 30 "$WINESERVER" -k >/dev/null 2>&1 || true
    timeout 30 "$WINESERVER" -w >/dev/null 2>&1 || true
    rm -rf "$tmp"
}
trap cleanup EXIT

echo "test-windows: creating the Wine prefix in $WINEPREFIX"
if ! timeout 300 "$WINE" wineboot -i >"$tmp/wineboot.log" 2>&1; then
    cat "$tmp/wineboot.log"
    echo "test-windows: wineboot failed"
    exit 1
fi
timeout 60 "$WINESERVER" -w || true  # the first start's own processes have ended
"$WINESERVER" -p 2>>"$tmp/wineserver.log"  # persistent until the end of the run

# The Windows simulator, under Wine, serves the Linux nv-term a whole session over TCP.
sim_out=$tmp/sim.out
timeout 120 "$WINE" build-win/nv52-sim.exe --port 0 --discovery-port 0 >"$sim_out" 2>/dev/null &
sim_pid=$!
for _ in $(seq 100); do grep -q "listening udp" "$sim_out" 2>/dev/null && break; sleep 0.2; done
port=$(tr -d '\r' <"$sim_out" | sed -n 's/^listening tcp 127\.0\.0\.1:\([0-9]*\)$/\1/p')
session=$(printf '3\n3\n127.0.0.1:%s\nve\nq\n' "$port" | timeout 60 build/nv-term 2>&1 || true)
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
if [ -z "$port" ] || ! grep -q "^Overall.*= NV52-2.14.0$" <<<"$session"; then
    echo "test-windows: nv52-sim.exe did not serve a session (port '$port'):"
    echo "$session"
    exit 1
fi
echo "test-windows: nv52-sim.exe served the Linux nv-term over TCP"

export NV_TERM_CMD="$WINE $ROOT/build-win/nv-term.exe"
export NV_HOLD_CMD="$WINE $ROOT/build-win/nv-hold.exe"
timeout 1500 build/tests/e2e --gtest_brief=1 "$@"
echo "test-windows: nv-service.exe against a bench of eight on loopback"
export NV_SERVICE_CMD="$WINE $ROOT/build-win/nv-service.exe"
timeout 600 build/tests/service --gtest_brief=1 --gtest_filter='Loopback/*'
echo "test-windows: the Windows-only tests"
timeout 600 "$WINE" build-win/win_tests.exe --gtest_brief=1
