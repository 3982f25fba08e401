#!/usr/bin/env bash
# A fresh Debian 12 root (debootstrap --variant=minbase) follows the README and nothing else:
# g++, CMake, make and git from apt, a clone of the last commit, `make demo` with a session typed
# in (in a network namespace), then `make package`, which must give the whole package (every
# program, every transport's library in Depends); with FULL=1 `make test` before it. Steps timed.
#   fresh_root_test.sh [ROOT]        as root; ROOT (default: a temporary folder) is removed after
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
. "$src/tests/install/common.sh"
root=${1:-$(mktemp -d /tmp/nv-fresh-root-XXXXXX)}
log=$(mktemp /tmp/nv-fresh-root-log-XXXXXX)
# The machine's own Debian mirror, as its apt sources name it.
mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)

cleanup() {
    for m in dev/pts proc; do
        if mountpoint -q "$root/$m"; then umount "$root/$m" || umount -l "$root/$m"; fi
    done
    # Never remove a root with a file system of the host still mounted in it.
    if ! grep -q " $root/" /proc/mounts; then rm -rf "$root"; fi
    rm -f "$log"
}
trap cleanup EXIT
step() {  # step NAME COMMAND...: runs it with its output in the log, prints its time
    local t0=$SECONDS
    "${@:2}" >>"$log" 2>&1 || { tail -n 60 "$log"; fail "$1"; }
    echo "fresh root: $1 in $((SECONDS - t0)) s"
}
in_root() {
    chroot "$root" env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
        LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive bash -c "cd /nv-term 2>/dev/null; $1"
}

step "debootstrap --variant=minbase bookworm" \
    debootstrap --variant=minbase bookworm "$root" "$mirror"
mount -t proc proc "$root/proc"
mkdir -p "$root/dev/pts" && mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
ln -sf pts/ptmx "$root/dev/ptmx"
cp /etc/resolv.conf "$root/etc/resolv.conf"
step "apt-get install g++ cmake make git" \
    in_root 'apt-get update -q && apt-get install -y -q g++ cmake make git'
git clone -q --no-checkout "$src" "$root/nv-term"
git -C "$root/nv-term" checkout -q "$(git -C "$src" rev-parse HEAD)"
step "make" in_root 'make'
demo() {
    unshare -n sh -c 'ip link set lo up && printf "3\n0\n\nve\nq\n" |
        chroot "$0" env -i PATH=/usr/bin:/bin HOME=/root bash -c "cd /nv-term && make demo"' \
        "$root" >"$root/demo.out" 2>&1 &&
        grep -q "Connecting device...Ok." "$root/demo.out" && grep -q "= NV52-" "$root/demo.out"
}
step "make demo (a session)" demo
if [ "${FULL:-0}" = 1 ]; then
    step "make test" in_root 'make test'
fi
step "make package" in_root 'make package'
deb=$(ls "$root"/nv-term/build/nv-term_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libusb-1.0-0 libbluetooth3 libcairo2 libgsl; do
    case $depends in *"$lib"*) ;; *) fail "the fresh root's package lacks $lib: $depends" ;; esac
done
dpkg-deb -c "$deb" | grep 'usr/bin/nv-spc$' >/dev/null || fail "the fresh root's package lacks nv-spc"
echo "fresh root: $(basename "$deb"), $(stat -c %s "$deb") bytes, whole; Depends: $depends"
