#!/usr/bin/env bash
# Installs the Debian packages the build's checks need and this machine lacks. As root, or with
# sudo that asks no password, it installs them; otherwise it prints the one apt-get line to run
# and fails, so that `make test` stops before it builds anything.
#
#   scripts/setup-deps.sh          what `make test` needs (and make asan, make tsan)
#   scripts/setup-deps.sh package  what `make package` needs: every library the package's
#                                  programs use, and the tools that make the .deb
#   scripts/setup-deps.sh package-tools   only the tools: `make package-reduced`
#   scripts/setup-deps.sh windows  what `make windows`, `make test-windows` and
#                                  `make windows-package` need
#   scripts/setup-deps.sh ci       all of that, and what CI adds: fuzzing, benchmarks, lintian
#
# `make demo` and `make` need only a C++ compiler, CMake and make.
set -euo pipefail

# The one list: add a package here, in the group of the first target that needs it.
# What the programs need to build with every feature: make test and make package both want them.
product_packages=(
    cmake g++ make pkg-config
    libusb-1.0-0-dev libbluetooth-dev        # the USB and Bluetooth transports
    libcairo2-dev libpugixml-dev libgsl-dev nlohmann-json3-dev   # nv-spc
)
test_packages=(
    libgtest-dev libgmock-dev                # the tests
    iproute2 util-linux                      # network namespaces, running as another user
    groff-base mandoc                        # the manual pages' checks
)
package_packages=(
    dpkg-dev file                            # dpkg-shlibdeps (the package's Depends), and the
                                             # file utility CPack runs before it
)
windows_packages=(
    g++-mingw-w64-x86-64-posix               # make windows: the MinGW-w64 cross-compiler
    wine64                                   # make test-windows: the programs under Wine
    wixl msitools mandoc                     # make windows-package: the installer, and the
)                                            # manual pages as HTML
ci_packages=(
    clang libclang-rt-14-dev                 # make fuzz
    libbenchmark-dev                         # make bench
    lintian                                  # the package's checks
    git                                      # the package built from two clones
    debootstrap                              # README's commands on a fresh Debian root
    clang-format-14 clang-tidy-14            # the format and tidy checks (one version pinned)
)

case ${1:-test} in
    test) packages=("${product_packages[@]}" "${test_packages[@]}") ;;
    package) packages=("${product_packages[@]}" "${package_packages[@]}") ;;
    package-tools) packages=("${package_packages[@]}") ;;
    windows) packages=("${windows_packages[@]}") ;;
    ci) packages=("${product_packages[@]}" "${test_packages[@]}" "${package_packages[@]}"
                  "${windows_packages[@]}" "${ci_packages[@]}") ;;
    *) echo "usage: $0 [test|package|package-tools|windows|ci]" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null; then
    echo "setup-deps: not a Debian system; make sure these (or their equivalents) are installed:"
    echo "  ${packages[*]}"
    exit 0
fi

missing=()
for p in $(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++'); do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo=(sudo -n)
else
    echo "Missing Debian packages. Install them, then run this again:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
fi

echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q "${missing[@]}"
