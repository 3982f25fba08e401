#!/usr/bin/env bash
# CI: `make windows-package` gives the archive and the installer. Under Wine, in a prefix of its
# own in a temporary folder (never ~/.wine): the archive holds the two programs, manual pages and
# a CR LF README and copyright, and its nv-term.exe runs a session against the Linux nv52-sim on
# loopback. The installer puts the same under Program Files\nv-term, once on the system PATH and
# in the installed programs with its version, replaces an older one in place and another build of
# the same version too (one entry), runs the same session, and `msiexec /x` leaves nothing, the
# PATH exactly as it was before.
#   windows_package_test.sh        (run from anywhere, as root: in a network namespace of its own)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
. "$src/tests/install/common.sh"

make -s -C "$src" windows-package >/dev/null
[ -x "$src/build/nv52-sim" ] || make -s -C "$src" build >/dev/null
own_network_namespace "$@"  # after the builds, which may install packages
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$src/build-win/CMakeCache.txt")
zip=$src/build-win/nv-term-$version-win64.zip msi=$src/build-win/nv-term-$version-x64.msi
[ -f "$zip" ] && [ -f "$msi" ] || fail "no $zip or $msi"

tmp=$(mktemp -d /tmp/nvterm-winpkg-XXXXXX)
WINE=${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
WINESERVER=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
export WINE WINESERVER WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
cleanup() {
    timeout 30 "$WINESERVER" -k >/dev/null 2>&1 || true
    rm -rf "$tmp"
}
trap cleanup EXIT
timeout 300 "$WINE" wineboot -i >"$tmp/wineboot.log" 2>&1 ||
    { cat "$tmp/wineboot.log"; fail "wineboot"; }
timeout 60 "$WINESERVER" -w || true  # the first start's own processes have ended
"$WINESERVER" -p 2>/dev/null  # then one server for the whole run

# windows_session DIR: the programs of DIR (a Unix path) as check_programs runs them: nv-term.exe
# and nv-service.exe under Wine with their CR LF read as LF, the Linux nv52-sim.
windows_session() {
    mkdir -p "$tmp/run"
    for program in nv-term nv-service; do
        printf '#!/bin/bash\nset -o pipefail\n"$WINE" "%s/%s.exe" "$@" | tr -d "\\r"\n' "$1" \
            "$program" >"$tmp/run/$program"
        chmod +x "$tmp/run/$program"
    done
    ln -sf "$src/build/nv52-sim" "$tmp/run/nv52-sim"
    check_programs "$tmp/run" "$version"
    "$WINE" "$1/nv52-sim.exe" --help | grep '^Usage: nv52-sim' >/dev/null ||
        fail "nv52-sim.exe --help"
}
wine_reg() { "$WINE" reg query "$@" 2>/dev/null | tr -d '\r'; }
system_path() { wine_reg "$env_key" /v PATH | sed -n 's/^ *PATH *REG_[A-Z_]*SZ *//p'; }
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
installed_versions() {  # the DisplayVersion of every nv-term in the list of installed programs
    wine_reg "$uninstall_key" /s | awk '/^HKEY/ { name = "" } $1 == "DisplayName" { name = $3 }
        $1 == "DisplayVersion" { v = $3 } /^$/ { if (name == "nv-term") print v; name = "" }'
}
msiexec() { timeout 300 "$WINE" msiexec "$1" "$(winepath -w "$2" 2>/dev/null)" /qn; }

# The archive.
mkdir "$tmp/zip"
(cd "$tmp/zip" && cmake -E tar xf "$zip")
unpacked=$tmp/zip/nv-term-$version-win64
listing=$(cd "$unpacked" && ls | sort | tr '\n' ' ')
[ "$listing" = "COPYRIGHT.txt README.txt nv-service.exe nv-service.html nv-term.exe nv-term.html nv52-sim.exe nv52-sim.html nv52-winusb.inf " ] ||
    fail "the archive holds: $listing"
for text in README.txt COPYRIGHT.txt; do
    [ "$(grep -c $'\r$' "$unpacked/$text")" = "$(wc -l <"$unpacked/$text")" ] ||
        fail "$text has lines without CR LF"
done
grep -q "^nv-term $version for Windows" "$unpacked/README.txt" || fail "README.txt's version"
windows_session "$unpacked"
echo "windows-package: the archive's nv-term.exe and nv-service.exe ran a session"

# The installer: an older version first, then this one over it, then another build of this one
# (a product code of its own) over that.
path_before=$(system_path)
"$src/win/build-msi.sh" "$src/build-win/nv-term-$version-win64" 0.0.1 "$tmp/old.msi"
msiexec /i "$tmp/old.msi" || fail "msiexec /i of version 0.0.1"
[ "$(installed_versions)" = 0.0.1 ] || fail "installed: $(installed_versions)"
msiexec /i "$msi" || fail "msiexec /i of $version over 0.0.1"
[ "$(installed_versions)" = "$version" ] ||
    fail "after the upgrade the installed programs list: '$(installed_versions)'"
dir=$WINEPREFIX/drive_c/Program\ Files/nv-term
listing=$(cd "$dir" && ls | sort | tr '\n' ' ')
[ "$listing" = "COPYRIGHT.txt README.txt nv-service.exe nv-service.html nv-term.exe nv-term.html nv52-sim.exe nv52-sim.html nv52-winusb.inf " ] ||
    fail "Program Files\\nv-term holds: $listing"
path_installed="C:\\Program Files\\nv-term\\;$path_before"
[ "$(system_path)" = "$path_installed" ] ||
    fail "the system PATH is '$(system_path)', not the folder once before '$path_before'"
windows_session "$dir"
echo "windows-package: installed over 0.0.1 as $version, on the PATH;" \
     "the installed nv-term.exe and nv-service.exe ran a session"

"$src/win/build-msi.sh" "$src/build-win/nv-term-$version-win64" "$version" "$tmp/again.msi"
msiexec /i "$tmp/again.msi" || fail "msiexec /i of another build of $version"
[ "$(installed_versions)" = "$version" ] && [ "$(system_path)" = "$path_installed" ] ||
    fail "after another build of $version: '$(installed_versions)', PATH '$(system_path)'"
echo "windows-package: another build of $version replaced the installed one"

msiexec /x "$tmp/again.msi" || fail "msiexec /x"
[ ! -e "$dir" ] || fail "msiexec /x left: $(ls -A "$dir")"
[ -z "$(installed_versions)" ] || fail "still in the installed programs: $(installed_versions)"
[ "$(system_path)" = "$path_before" ] ||
    fail "msiexec /x left the system PATH '$(system_path)', not '$path_before'"
echo "windows-package: msiexec /x left nothing, the PATH as it was"
