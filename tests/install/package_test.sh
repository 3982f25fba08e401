#!/usr/bin/env bash
# CI: `make package` gives nv-term_VERSION_ARCH.deb, whole: every program, Depends from every
# transport's shared libraries, exactly the expected files under /usr; its programs work unpacked;
# dpkg installs, removes (state rc) and purges it in a scratch root; lintian --pedantic finds no
# error, hardening tag or needless section; then the reduced package. Nothing goes into the system.
#   package_test.sh [BUILD_DIR]      (default build; run from anywhere)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-build}
. "$src/tests/install/common.sh"

make -s -C "$src" BUILD="$build" package >/dev/null
case $build in /*) ;; *) build=$src/$build ;; esac
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/nv-term_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"
with_spc=1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's|^\./||' >"$root/all"
grep -v '/$' "$root/all" | sed 's|^usr/||' >"$root/files"
outside=$(grep -v '^usr/' "$root/all" || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
check_listing "$root/files" "$with_spc"

[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
[ "$(dpkg-deb -f "$deb" Package)" = nv-term ] || fail "Package is not nv-term"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libusb-1.0-0 libbluetooth3 libcairo2 libgsl; do
    case $depends in *"$lib"*) ;; *) fail "Depends lacks $lib: '$depends'" ;; esac
done
! dpkg-deb -f "$deb" Description | grep -i reduced || fail "the whole package says it is reduced"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
dpkg-deb -f "$deb" Description | sed -n 2p | grep -q . || fail "no long Description"

mkdir "$root/x"
dpkg-deb -x "$deb" "$root/x"
check_programs "$root/x/usr/bin" "$version"

# Only where udev does not run (a container): where it runs, the maintainer scripts would reload
# the system's rules. They are silent and successful; dpkg installs the package into a scratch
# root as apt would, removes and purges it (its scripts run outside that root, which has no shell).
if [ ! -S /run/udev/control ]; then
    dpkg-deb -e "$deb" "$root/control"
    for script in postinst:configure postrm:remove; do
        out=$(sh "$root/control/${script%%:*}" "${script#*:}" 2>&1) || fail "${script%%:*} failed"
        [ -z "$out" ] || fail "${script%%:*} printed: $out"
    done
    db=$root/dpkg/var/lib/dpkg
    mkdir -p "$db/info" "$db/updates" && touch "$db/status" "$db/available"
    dpkg_root() {
        dpkg --root="$root/dpkg" --force-script-chrootless --force-depends "$@" >/dev/null 2>&1
    }
    state() { dpkg-query --admindir="$db" -W -f='${db:Status-Abbrev}' nv-term 2>/dev/null || true; }
    dpkg_root -i "$deb" && [ "$(state)" = "ii " ] || fail "dpkg -i: state '$(state)'"
    [ -x "$root/dpkg/usr/bin/nv-term" ] || fail "dpkg -i did not install nv-term"
    dpkg_root -r nv-term && [ "$(state)" = "rc " ] || fail "dpkg -r: state '$(state)', not rc"
    [ -z "$(find "$root/dpkg" ! -type d ! -path "$db/*")" ] || fail "dpkg -r left files"
    dpkg_root -P nv-term && [ -z "$(state)" ] || fail "dpkg -P: state '$(state)'"
fi

lintian --pedantic -I "$deb" >"$root/lintian" 2>&1 || true
cat "$root/lintian"
if grep -E '^E: |hardening-|binary-has-unneeded-section' "$root/lintian"; then
    fail "lintian reports errors, missing hardening or needless sections"
fi
echo "package: $(basename "$deb"), $(wc -l <"$root/files") files, Depends: $depends;" \
     "lintian: $(grep -c '^[WIP]: ' "$root/lintian" || true) other tags"

# With the USB and nv-spc libraries hidden from pkg-config (a machine without them): make package
# stops before it builds anything, with the reason; make package-reduced says what it lacks.
scratch=$root/reduced-build
out=$(PKG_CONFIG_LIBDIR=/nonexistent make -s -C "$src" BUILD="$scratch" package 2>&1) &&
    fail "make package without libusb and cairo succeeded"
out=$(tr '\n' ' ' <<<"$out" | tr -s ' ')  # CMake wraps its message
case $out in
    *"lacks: USB transport (libusb-1.0 not found: libusb-1.0-0-dev); nv-spc (missing cairo"*) ;;
    *) fail "make package without libusb and cairo said: $out" ;;
esac
[ ! -e "$scratch/nv-term" ] || fail "make package built the programs before it refused"
PKG_CONFIG_LIBDIR=/nonexistent make -s -C "$src" BUILD="$scratch" package-reduced >/dev/null
reduced=$scratch/nv-term_${version}_$(dpkg --print-architecture).deb
description=$(dpkg-deb -f "$reduced" Description)
case $description in
    *"(reduced build)"*"over a serial port, the network or Bluetooth."*"lacks USB transport, nv-spc.")
        ;;
    *) fail "the reduced package's description: $description" ;;
esac
case $description in *nv-spc\ shows*|*udev*) fail "the reduced one promises: $description" ;; esac
case $(dpkg-deb -f "$reduced" Depends) in *libusb*|*cairo*) fail "reduced Depends" ;; esac
dpkg-deb --contents "$reduced" | grep 'bin/nv-spc$' >/dev/null && fail "the reduced package has nv-spc"
echo "package: refused without libusb and cairo; the reduced package says what it lacks"
