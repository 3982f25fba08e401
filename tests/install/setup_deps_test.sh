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

# run GROUP MISSING AS(root|user) SUDO_OK: the exit status; apt-get's calls and the output in
# $calls and $out.
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

while IFS='|' read -r group missing as sudo_ok want_status want_calls want_out; do
    [ "$as" = root ] && [ "$(id -u)" -ne 0 ] && continue
    status=0
    run "$group" "$missing" "$as" "$sudo_ok" || status=$?
    [ "$status" = "$want_status" ] && [ "${calls//$'\n'/;}" = "$want_calls" ] &&
        [ "${out//$'\n'/;}" = "$want_out" ] ||
        fail "group $group, missing '$missing', as $as, sudo $sudo_ok: exit $status;" \
             "apt-get called: ${calls:-nothing}; printed: $out"
done < <(grep -v '^#' "$src/tests/install/setup_deps_cases.txt")
echo "setup-deps: every case as expected"
