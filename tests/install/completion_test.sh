#!/usr/bin/env bash
# The shell completion the package installs: what bash offers after a few partial command lines
# of nv-service and nv-spc.
#   completion_test.sh SOURCE_DIR
set -euo pipefail
src=$1
. "$src/tests/install/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/fw.xfw" "$work/notes.txt" "$work/a.spc"
mkdir "$work/spectra"
cd "$work"
shopt -s extglob

# complete_line FUNCTION WORD...: what FUNCTION offers for the last word, one line.
complete_line() {
    local fn=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    "$fn"
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {
    local got
    got=$(complete_line "$@" 2>&1) || true
    [ "$got" = "$want" ] || fail "completing '${*:2}': '$got', not '$want'"
}

. "$src/completion/nv-service"
want="flash "; expect _nv_service nv-service -d x fl
want="fw.xfw spectra "; expect _nv_service nv-service -d x flash ""
want="spectra "; expect _nv_service nv-service -d x assay 60 ""
want="spectra "; expect _nv_service nv-service -d x stabilise ""
want="list "; expect _nv_service nv-service li
want="--json "; expect _nv_service nv-service list --j
want="--record --retries "; expect _nv_service nv-service -d x --re
want="power-off "; expect _nv_service nv-service --all info pow
want=""; expect _nv_service nv-service --retries ""

. "$src/completion/nv-spc"
want="info "; expect _nv_spc nv-spc inf
want="--calibrate --channels "; expect _nv_spc nv-spc plot --c
want="--csv "; expect _nv_spc nv-spc trend --cs
want="csv n42 "; expect _nv_spc nv-spc export -f ""
want="a.spc spectra "; expect _nv_spc nv-spc info ""
echo "completion of nv-service and nv-spc as expected"
