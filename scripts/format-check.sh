#!/usr/bin/env bash
# Fails when a C++ file under version control differs from what clang-format 14 makes of it
# (.clang-format); prints the files and the first lines of each difference. The version is
# pinned: another clang-format formats some constructs differently.
#   scripts/format-check.sh          check
#   scripts/format-check.sh --fix    format them in place
set -euo pipefail
cd "$(dirname "$0")/.."
format=${CLANG_FORMAT:-clang-format-14}
command -v "$format" >/dev/null || { echo "format-check: $format is needed" >&2; exit 2; }
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.inc')
if [ "${1:-}" = --fix ]; then
    "$format" -i "${files[@]}"
    exit 0
fi
bad=0
for f in "${files[@]}"; do
    if ! "$format" "$f" | cmp -s - "$f"; then
        echo "format-check: $f differs from clang-format (scripts/format-check.sh --fix):"
        "$format" "$f" | diff "$f" - | head -8 || true
        bad=1
    fi
done
[ $bad -eq 0 ] && echo "format-check: ${#files[@]} files as clang-format makes them"
exit $bad
