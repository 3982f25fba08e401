#!/usr/bin/env bash
# CI: `make package` builds nv-term_VERSION_ARCH.deb; it holds exactly the expected files under
# /usr, its Depends come from the shared libraries, its programs work when unpacked into a
# scratch root, and lintian finds no error. Nothing is installed into the system.
#   package_test.sh [BUILD_DIR]      (default build; run from anywhere)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-build}
. "$src/tests/install/common.sh"
unset MAKEFLAGS MFLAGS MAKELEVEL

make -s -C "$src" BUILD="$build" package >/dev/null
case $build in /*) ;; *) build=$src/$build ;; esac
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/nv-term_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"
with_spc=0
[ -x "$build/nv-spc" ] && with_spc=1

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# The listing: regular files under /usr, nothing anywhere else.
dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's|^\./||' >"$root/all"
grep -v '/$' "$root/all" | sed 's|^usr/||' >"$root/files"
outside=$(grep -v '^usr/' "$root/all" || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
check_listing "$root/files" "$with_spc"

[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
[ "$(dpkg-deb -f "$deb" Package)" = nv-term ] || fail "Package is not nv-term"
depends=$(dpkg-deb -f "$deb" Depends)
case $depends in *libc6*) ;; *) fail "Depends not computed from the libraries: '$depends'" ;; esac
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
dpkg-deb -f "$deb" Description | sed -n 2p | grep -q . || fail "no long Description"

mkdir "$root/x"
dpkg-deb -x "$deb" "$root/x"
check_programs "$root/x/usr/bin" "$version"

# The maintainer scripts where udev does not run (a container): silent and successful. Where
# udev runs they would reload the system's rules, so they are not run there.
dpkg-deb -e "$deb" "$root/control"
if [ ! -S /run/udev/control ]; then
    for script in postinst:configure postrm:remove; do
        out=$(sh "$root/control/${script%%:*}" "${script#*:}" 2>&1) || fail "${script%%:*} failed"
        [ -z "$out" ] || fail "${script%%:*} printed: $out"
    done
fi

lintian "$deb" >"$root/lintian" 2>&1 || true
cat "$root/lintian"
if grep -q '^E: ' "$root/lintian"; then
    fail "lintian reports errors"
fi
echo "package: $(basename "$deb"), $(wc -l <"$root/files") files, Depends: $depends;" \
     "lintian: $(grep -c '^W: ' "$root/lintian" || true) warnings, no error"
