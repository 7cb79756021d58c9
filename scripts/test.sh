#!/usr/bin/env bash
# Installs what is missing, builds native, sanitizer and Windows builds, and
# runs every test: the threads test under ThreadSanitizer, then everything
# under AddressSanitizer/UndefinedBehaviorSanitizer, then the plain build,
# whose ctest summary is the last thing printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh native asan win32 tsan

# The Wine tests run the Windows build in a private prefix; making the prefix
# is slow, so it happens once here, before the tests, with a limit. The
# shipped module is 32-bit; a machine whose kernel cannot execute 32-bit code
# runs the same code built for 64-bit Windows under 64-bit Wine instead (the
# 32-bit DLL's exports and imports are still checked).
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    export WINEARCH=win32 WINEPREFIX="$PWD/build/wineprefix" MIRAD_WINE=wine MIRAD_WINE_BUILD="$PWD/build-win32"
elif [ -x /usr/lib/wine/wine64 ]; then
    echo "test.sh: this machine cannot run 32-bit code; the Wine tests run the 64-bit Windows build"
    bash scripts/build.sh win64
    export WINEARCH=win64 WINEPREFIX="$PWD/build/wineprefix64" MIRAD_WINE=/usr/lib/wine/wine64 \
        MIRAD_WINE_BUILD="$PWD/build-win64"
fi
if [ -n "${MIRAD_WINE:-}" ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "test.sh: preparing the Wine prefix $WINEPREFIX"
    timeout 900 "$MIRAD_WINE" wineboot -i </dev/null >/dev/null 2>&1 ||
        echo "test.sh: wineboot did not finish; the Wine tests will say what fails" >&2
    timeout 120 wineserver -w || true
fi

jobs=$(nproc 2>/dev/null || echo 2)
status=0
# Two archives on two threads while a third reloads the settings: any race
# ThreadSanitizer sees fails the run.
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build-tsan/mirad_thread_tests || status=1
(cd build-asan && ctest --output-on-failure -j "$jobs") || status=1
(cd build && ctest --output-on-failure -j "$jobs") || status=1
exit $status
