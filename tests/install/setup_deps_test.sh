#!/usr/bin/env bash
# scripts/setup-deps.sh against a fake dpkg-query, apt-get and sudo: it asks apt-get for exactly
# the missing packages of the chosen group when it may (as root, or through sudo without a
# password), and otherwise prints the one apt-get line and fails without calling apt-get.
#   setup_deps_test.sh SOURCE_DIR
set -euo pipefail
src=$1
. "$src/tests/install/common.sh"

fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
mkdir "$fake/bin"
# Packages named in $MISSING are not installed; every other package is.
cat >"$fake/bin/dpkg-query" <<'FAKE'
#!/bin/sh
for pkg; do :; done  # the last argument
for p in $MISSING; do [ "$p" = "$pkg" ] && { echo "unknown ok not-installed"; exit 0; }; done
echo "install ok installed"
FAKE
cat >"$fake/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $*" >>"$CALLS"
FAKE
# sudo -n true succeeds only with SUDO_OK=1; any other use runs the command.
cat >"$fake/bin/sudo" <<'FAKE'
#!/bin/sh
[ "$1" = -n ] && shift
[ "$1" = true ] && { [ "$SUDO_OK" = 1 ]; exit; }
exec "$@"
FAKE
chmod +x "$fake/bin/"*

# run GROUP MISSING AS(root|user) SUDO_OK: the exit status, apt-get's calls and the output.
run() {
    local group=$1 missing=$2 as=$3 sudo_ok=$4
    : >"$fake/calls"
    local cmd=(env PATH="$fake/bin:$PATH" MISSING="$missing" CALLS="$fake/calls" SUDO_OK="$sudo_ok"
               "$src/scripts/setup-deps.sh" $group)
    if [ "$as" = user ] && [ "$(id -u)" -eq 0 ]; then
        chmod 777 "$fake" && touch "$fake/calls" && chmod 666 "$fake/calls"
        cmd=(setpriv --reuid=65534 --regid=65534 --clear-groups "${cmd[@]}")
    fi
    local status=0
    out=$("${cmd[@]}" 2>&1) || status=$?
    calls=$(cat "$fake/calls")
    return $status
}

run test "" user 0 || fail "nothing missing: $out"
[ -z "$calls$out" ] || fail "nothing missing, yet: $calls$out"

run test "libgtest-dev mandoc" user 1 || fail "sudo without a password: $out"
[ "$calls" = $'apt-get update -q\napt-get install -y -q libgtest-dev mandoc' ] ||
    fail "sudo without a password called: $calls"

run test "libgtest-dev mandoc" user 0 && fail "without root or sudo it succeeded"
[ -z "$calls" ] || fail "without root or sudo it called: $calls"
[ "$(grep -c 'apt-get install' <<<"$out")" = 1 ] &&
    grep -qx '  sudo apt-get install libgtest-dev mandoc' <<<"$out" ||
    fail "without root or sudo it printed: $out"

if [ "$(id -u)" -eq 0 ]; then
    run test "libgtest-dev" root 0 || fail "as root: $out"
    [ "$calls" = $'apt-get update -q\napt-get install -y -q libgtest-dev' ] ||
        fail "as root it called: $calls"
fi

# Each group asks only for its own packages.
run test "lintian dpkg-dev" user 1 || fail "test group: $out"
[ -z "$calls" ] || fail "the test group asked for another group's packages: $calls"
# The package group: the libraries of every feature the package promises, and CPack's tools.
run package "lintian dpkg-dev libgtest-dev file libusb-1.0-0-dev" user 1 || fail "package group: $out"
[ "$(tail -1 <<<"$calls")" = "apt-get install -y -q libusb-1.0-0-dev dpkg-dev file" ] ||
    fail "package group: $calls"
run windows "wine64 lintian libgtest-dev" user 1 || fail "windows group: $out"
[ "$(tail -1 <<<"$calls")" = "apt-get install -y -q wine64" ] || fail "windows group: $calls"
run ci "lintian dpkg-dev libgtest-dev wine64 mandoc" user 1 || fail "ci group: $out"
[ "$(tail -1 <<<"$calls")" = "apt-get install -y -q libgtest-dev mandoc dpkg-dev wine64 lintian" ] ||
    fail "ci group: $calls"
echo "setup-deps: every case as expected"
