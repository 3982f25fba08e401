#!/usr/bin/env bash
# Every manual page the build makes renders without a warning (groff, and mandoc's lint where it
# is installed), its SEE ALSO names the others, and the page of a program with --help names
# every option the program takes and none it does not.
#   man_test.sh BUILD_DIR
set -euo pipefail
build=$1
status=0
pages=("$build"/man/*.1)
[ -e "${pages[0]}" ] || { echo "FAIL: no manual page in $build/man"; exit 1; }

bad() { echo "FAIL: $*"; status=1; }

for page in "${pages[@]}"; do
    name=$(basename "$page" .1)
    out=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$out" ] || bad "groff on $name.1:"$'\n'"$out"
    if command -v mandoc >/dev/null; then
        out=$(mandoc -Tlint "$page" 2>&1) || true
        [ -z "$out" ] || bad "mandoc -Tlint on $name.1:"$'\n'"$out"
    else
        echo "mandoc is not installed: $name.1 checked with groff only"
    fi

    for other in "${pages[@]}"; do
        o=$(basename "$other" .1)
        [ "$o" = "$name" ] || sed -n '/^\.SH SEE ALSO/,$p' "$page" |
            grep -F ".BR ${o//-/\\-} (1)" >/dev/null || bad "$name.1's SEE ALSO lacks $o(1)"
    done

    program=$build/$name
    if [ "$name" != nv-term ] && [ -x "$program" ]; then
        # Options as the program lists them (nv-spc per command) and as the page writes (\-\-name).
        help=$({ "$program" --help
                 if [ "$name" = nv-spc ]; then
                     for command in info plot watch trend compare export; do
                         "$program" "$command" --help
                     done
                 fi; } | grep -o -- '--[a-z][a-z0-9-]*' | sort -u)
        documented=$(grep -o -- '\\-\\-[a-z][a-z0-9\\-]*' "$page" | sed 's/\\-/-/g' | sort -u)
        missing=$(comm -23 <(echo "$help") <(echo "$documented"))
        extra=$(comm -13 <(echo "$help") <(echo "$documented"))
        [ -z "$missing$extra" ] || bad "$name.1 lacks: ${missing//$'\n'/ }"$'\n'"      and" \
            "names what $name has not: ${extra//$'\n'/ }"
    fi
done
[ $status -eq 0 ] && echo "${#pages[@]} manual pages render without a warning"
exit $status
