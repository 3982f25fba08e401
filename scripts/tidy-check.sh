#!/usr/bin/env bash
# Runs clang-tidy 14 (.clang-tidy) on the C++ sources a change touched: by default those the
# last commit changed (for a merge, everything it brought to its first parent); every file in a
# clone that lacks that commit.
# Files the Linux build does not compile (the _win files) are left to the Windows build's
# warnings.
#   scripts/tidy-check.sh [BASE]      the files changed since BASE (default HEAD^)
set -euo pipefail
cd "$(dirname "$0")/.."
tidy=${CLANG_TIDY:-clang-tidy-14}
command -v "$tidy" >/dev/null || { echo "tidy-check: $tidy is needed" >&2; exit 2; }
base=${1:-HEAD^}
build=${TIDY_BUILD:-build-tidy}
if git rev-parse -q --verify "$base^{commit}" >/dev/null; then
    mapfile -t files < <(git diff --name-only --diff-filter=d "$base" -- '*.cpp' | grep -v '_win\.cpp$' || true)
else  # a clone without that commit (a shallow one): every file is new to it
    mapfile -t files < <(git ls-files '*.cpp' | grep -v '_win\.cpp$')
fi
if [ ${#files[@]} -eq 0 ]; then
    echo "tidy-check: no C++ source changed since $base"
    exit 0
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
bad=0
for f in "${files[@]}"; do
    grep -q "\"file\": \"$PWD/$f\"" "$build/compile_commands.json" || continue
    "$tidy" -p "$build" --quiet "$f" 2>/dev/null || bad=1
done
[ $bad -eq 0 ] && echo "tidy-check: ${#files[@]} changed files clean"
exit $bad
