#!/usr/bin/env bash
# `make install DESTDIR=<scratch> PREFIX=<prefix>` puts exactly the expected files under the
# prefix, with the modes a system expects; the installed programs work; `make uninstall` with the
# same settings takes every file away again. Nothing goes into the real system.
#   install_test.sh SOURCE_DIR BUILD_DIR VERSION WITH_SPC(0|1)
set -euo pipefail
src=$1 build=$2 version=$3 with_spc=$4
. "$src/tests/install/common.sh"

# A prefix of its own, which no system has: an installation that ignored DESTDIR would show
# there, and is removed again.
prefix=/nv-term-install-test-$$
[ ! -e "$prefix" ] || fail "$prefix exists already"
root=$(mktemp -d)
trap 'rm -rf "$root" "$prefix"' EXIT

make -s -C "$src" BUILD="$build" PREFIX="$prefix" DESTDIR="$root" install >/dev/null
[ ! -e "$prefix" ] || fail "make install wrote to $prefix, outside DESTDIR"
(cd "$root$prefix" && find . ! -type d | sed 's|^\./||') >"$root/listing"
[ "$(find "$root" -mindepth 1 -maxdepth 1 ! -name listing)" = "$root$prefix" ] ||
    fail "something was installed outside the prefix"
check_listing "$root/listing" "$with_spc"

for f in $(expected_files "$with_spc"); do
    case $f in bin/*) want=755 ;; *) want=644 ;; esac
    mode=$(stat -c %a "$root$prefix/$f")
    [ "$mode" = "$want" ] || fail "$f has mode $mode, not $want"
done
man_page=$root$prefix/share/man/man1/nv-term.1.gz
zcat "$man_page" | grep "^\.TH NV-TERM 1 .*\"nv-term $version\"" >/dev/null ||
    fail "the nv-term manual page does not carry the version $version"

check_programs "$root$prefix/bin" "$version"

make -s -C "$src" BUILD="$build" PREFIX="$prefix" DESTDIR="$root" uninstall >/dev/null
left=$(cd "$root" && find ".$prefix" ! -type d)
[ -z "$left" ] || fail "make uninstall left: $left"
echo "installed and uninstalled $(wc -l <"$root/listing") files under $prefix"
