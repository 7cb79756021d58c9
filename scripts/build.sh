#!/usr/bin/env bash
# Builds Mirad: native (build/), with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), the 32-bit Windows module and
# host cross-built with MinGW (build-win32/), the threads test with
# ThreadSanitizer (build-tsan/), and the 64-bit Windows module Mirad.wcx64
# and host (build-win64/). Warnings are errors in every build.
# Usage: scripts/build.sh [native] [asan] [win32] [tsan] [win64]   (default: all five)
set -euo pipefail
cd "$(dirname "$0")/.."

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
jobs=$(nproc 2>/dev/null || echo 2)

configure_and_build() {  # DIR TARGET [cmake options...]
    local dir=$1 target=$2
    shift 2
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" "${generator[@]}" -DMIRAD_WERROR=ON "$@"
    else
        # Options set later (a newer script) reach builds made before them.
        cmake -S . -B "$dir" -DMIRAD_WERROR=ON "$@" >/dev/null
    fi
    if [ "$target" = all ]; then
        cmake --build "$dir" -j "$jobs"
    else
        cmake --build "$dir" -j "$jobs" --target "$target"
    fi
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native asan win32 tsan win64)
for target in "${targets[@]}"; do
    case $target in
        native) configure_and_build build all ;;
        asan) configure_and_build build-asan all -DMIRAD_SANITIZE=ON ;;
        win32) configure_and_build build-win32 all -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DMIRAD_TESTS=OFF ;;
        win64) configure_and_build build-win64 all -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DMIRAD_TESTS=OFF ;;
        tsan) configure_and_build build-tsan mirad_thread_tests -DMIRAD_TSAN=ON ;;
        *) echo "build.sh: unknown build '$target' (native, asan, win32, tsan, win64)" >&2; exit 2 ;;
    esac
done
