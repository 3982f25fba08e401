#!/usr/bin/env bash
# CI: two clones of the last commit, in folders of different names and depths, each packaged
# with `make package` under another umask, time zone and locale, give byte-identical .deb files.
#   reproducible_test.sh           (run from anywhere; what is not committed is not in the clones)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
. "$src/tests/install/common.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
commit=$(git -C "$src" rev-parse HEAD)
clones=("$work/a" "$work/the second clone/of/nv-term")
for dir in "${clones[@]}"; do
    git clone -q --no-checkout "$src" "$dir"
    git -C "$dir" checkout -q "$commit"
done
# The two builds side by side, one processor each.
(umask 022 && make -s -C "${clones[0]}" JOBS=1 package >"$work/a.log" 2>&1) &
first=$!
(umask 002 && TZ=Asia/Tokyo LC_ALL=C.UTF-8 make -s -C "${clones[1]}" JOBS=1 package \
     >"$work/b.log" 2>&1) || { cat "$work/b.log"; fail "make package in the second clone"; }
wait $first || { cat "$work/a.log"; fail "make package in the first clone"; }

debs=("${clones[0]}"/build/nv-term_*.deb "${clones[1]}"/build/nv-term_*.deb)
[ -f "${debs[0]}" ] && [ -f "${debs[1]}" ] || fail "a clone made no package: ${debs[*]}"
if ! cmp "${debs[0]}" "${debs[1]}"; then
    for i in 0 1; do
        mkdir "$work/x$i" && dpkg-deb -R "${debs[$i]}" "$work/x$i"
        (cd "$work/x$i" && find . -type f -exec sha256sum {} + | sort -k2) >"$work/sums$i"
        dpkg-deb -c "${debs[$i]}" >"$work/list$i"
    done
    diff "$work/list0" "$work/list1" || true
    diff "$work/sums0" "$work/sums1" || true
    fail "two clones of $commit gave different packages"
fi
echo "reproducible: two clones of ${commit:0:12} gave the same $(basename "${debs[0]}")" \
     "($(stat -c %s "${debs[0]}") bytes)"
