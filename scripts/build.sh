#!/usr/bin/env bash
# Builds Mirad three ways: native (build/), with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), and the 32-bit Windows module and
# host cross-built with MinGW (build-win32/); win64 (build-win64/) is the same
# code as a 64-bit Windows build, which the Wine tests run on machines that
# cannot execute 32-bit code.
# Usage: scripts/build.sh [native] [asan] [win32] [win64]   (default: the first three)
set -euo pipefail
cd "$(dirname "$0")/.."

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
jobs=$(nproc 2>/dev/null || echo 2)

configure_and_build() {  # DIR [cmake options...]
    local dir=$1
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" "${generator[@]}" "$@"
    fi
    cmake --build "$dir" -j "$jobs"
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native asan win32)
for target in "${targets[@]}"; do
    case $target in
        native) configure_and_build build ;;
        asan) configure_and_build build-asan -DMIRAD_SANITIZE=ON ;;
        win32) configure_and_build build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DMIRAD_TESTS=OFF ;;
        win64) configure_and_build build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DMIRAD_TESTS=OFF ;;
        *) echo "build.sh: unknown build '$target' (native, asan, win32, win64)" >&2; exit 2 ;;
    esac
done
