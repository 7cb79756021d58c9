#!/usr/bin/env bash
# Installs what building and testing Mirad needs, and only what is missing:
# safe to run again. Works as root or through sudo, on Debian.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo -E "$@"
    else
        echo "install-deps: run as root or install sudo to install: $*" >&2
        exit 1
    fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
need() {  # need PACKAGE [COMMAND]: wanted unless the package or the command is there
    local package=$1 command=${2:-}
    if [ -n "$command" ] && command -v "$command" >/dev/null 2>&1; then return; fi
    installed "$package" || missing+=("$package")
}

need cmake cmake
need ninja-build ninja
need g++ g++
need libgtest-dev
need cabextract cabextract
need gcab gcab
need time /usr/bin/time  # bench/run: peak memory
need 7zip 7zz
need libarchive-tools bsdtar
need g++-mingw-w64-i686 i686-w64-mingw32-g++
need wine wine
need zlib1g-dev
need libz-mingw-w64-dev
# The Windows module is 32-bit: Wine needs its 32-bit part. Where the kernel
# cannot run 32-bit code, the Wine tests run the 64-bit Windows build instead.
installed wine32:i386 || missing+=("wine32:i386")
need wine64
need g++-mingw-w64-x86-64 x86_64-w64-mingw32-g++
# The fuzz targets (scripts/fuzz.sh): clang with its libFuzzer and sanitizer
# runtimes, and llvm-profdata/llvm-cov for coverage reports.
need clang clang++
need libclang-rt-dev
need llvm llvm-cov

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: everything is installed"
    exit 0
fi

if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]}"
# A mirror caught mid-sync fails one index now and then; what the other
# indexes say is usually enough to install from, so a failed update is
# retried once and then passed over (the install itself still has to work).
if ! as_root apt-get update -q; then
    sleep 10
    as_root apt-get update -q ||
        echo "install-deps: some package lists could not be updated; installing from those there are" >&2
fi
# The 32-bit part comes last and on its own: when the mirror's i386 lists lag
# behind its amd64 ones, the two cannot be installed together, and nothing
# but the 32-bit Wine run needs it (the Wine tests then run the 64-bit build).
native=() foreign=()
for package in "${missing[@]}"; do
    if [[ $package == *:i386 ]]; then foreign+=("$package"); else native+=("$package"); fi
done
if [ ${#native[@]} -gt 0 ]; then
    as_root apt-get install -y -q --no-install-recommends "${native[@]}"
fi
if [ ${#foreign[@]} -gt 0 ]; then
    as_root apt-get install -y -q --no-install-recommends "${foreign[@]}" ||
        echo "install-deps: ${foreign[*]} could not be installed; the Wine tests run the 64-bit build" >&2
fi
