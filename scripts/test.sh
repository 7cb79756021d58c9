#!/usr/bin/env bash
# Installs what is missing, builds native, sanitizer and Windows builds, and
# runs every test: the threads test under ThreadSanitizer, then everything
# under AddressSanitizer/UndefinedBehaviorSanitizer, then the plain build,
# whose ctest summary is the last thing printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh native asan win32 tsan win64
# The packages, which the Packages tests install and run.
bash scripts/package.sh --no-build >/dev/null

# The Wine tests run each Windows build in a private prefix; making a prefix
# is slow, so it happens once here, before the tests, with a limit. The
# 32-bit build runs under 32-bit Wine and the 64-bit build under 64-bit
# Wine, each where this machine can run it; the tests proper run against the
# first, the Wine tests again against the second.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers
wine_runs=()
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine_runs+=("win32 wine $PWD/build/wineprefix $PWD/build-win32")
fi
if [ -x /usr/lib/wine/wine64 ]; then
    wine_runs+=("win64 /usr/lib/wine/wine64 $PWD/build/wineprefix64 $PWD/build-win64")
fi
prepare_prefix() {  # ARCH LOADER PREFIX
    if [ ! -f "$3/system.reg" ]; then
        echo "test.sh: preparing the Wine prefix $3"
        WINEARCH=$1 WINEPREFIX=$3 timeout 900 "$2" wineboot -i </dev/null >/dev/null 2>&1 ||
            echo "test.sh: wineboot did not finish; the Wine tests will say what fails" >&2
        WINEPREFIX=$3 timeout 120 wineserver -w || true
    fi
}
for run in "${wine_runs[@]}"; do
    read -r arch loader prefix build <<<"$run"
    prepare_prefix "$arch" "$loader" "$prefix"
done
if [ ${#wine_runs[@]} -gt 0 ]; then
    read -r arch loader prefix build <<<"${wine_runs[0]}"
    export WINEARCH=$arch WINEPREFIX=$prefix MIRAD_WINE=$loader MIRAD_WINE_BUILD=$build
fi

jobs=$(nproc 2>/dev/null || echo 2)
status=0
# Two archives on two threads while a third reloads the settings: any race
# ThreadSanitizer sees fails the run.
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build-tsan/mirad_thread_tests || status=1
(cd build-asan && ctest --output-on-failure -j "$jobs") || status=1
for run in "${wine_runs[@]:1}"; do
    read -r arch loader prefix build <<<"$run"
    echo "test.sh: the Wine tests again, on $build"
    (cd build && WINEARCH=$arch WINEPREFIX=$prefix MIRAD_WINE=$loader MIRAD_WINE_BUILD=$build \
        ./mirad_tests --gtest_filter='Wine.*' --gtest_brief=1) || status=1
done
(cd build && ctest --output-on-failure -j "$jobs") || status=1
exit $status
