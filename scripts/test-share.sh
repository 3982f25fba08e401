#!/usr/bin/env bash
# The tests' share of the code: non-blank lines of C++, Python and shell under tests/ against all
# such lines of the tree (expected transcripts and other data do not count). Printed by make test,
# which fails when the share rises above CEILING, the lowest reached so far: lower it as tests
# are folded, never raise it.
set -euo pipefail
cd "$(dirname "$0")/.."
CEILING=${CEILING:-37.4}

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files() { git ls-files -- '*.cpp' '*.h' '*.py' '*.sh'; }
else  # an unpacked archive: everything but the build folders
    files() { find . -path './build*' -prune -o -type f \( -name '*.cpp' -o -name '*.h' \
              -o -name '*.py' -o -name '*.sh' \) -print | sed 's|^\./||'; }
fi
count() { local n=0 f; while read -r f; do [ -f "$f" ] && n=$((n + $(grep -cv '^[[:space:]]*$' "$f" || true))); done; echo "$n"; }
all=$(files | count)
tests=$(files | grep '^tests/' | count)
share=$(awk -v t="$tests" -v a="$all" 'BEGIN { printf "%.1f", 100 * t / a }')
echo "test share: $tests of $all lines of code are tests ($share %, at most $CEILING %)"
awk -v s="$share" -v c="$CEILING" 'BEGIN { exit !(s <= c) }' || {
    echo "test share: above $CEILING %: fold tests into tables and data files before adding more"
    exit 1
}
