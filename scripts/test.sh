#!/usr/bin/env bash
# Installs what is missing, builds native, sanitizer and Windows builds, and
# runs every test: the threads test under ThreadSanitizer, then everything
# under AddressSanitizer/UndefinedBehaviorSanitizer, then the plain build,
# whose ctest summary is the last thing printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh native asan win32 tsan

# The Wine tests run the Windows build in a private 32-bit prefix; making the
# prefix is slow, so it happens once here, before the tests, with a limit.
export WINEDEBUG=-all
export WINEARCH=win32
export WINEPREFIX="$PWD/build/wineprefix"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers
if command -v wineboot >/dev/null 2>&1 && [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "test.sh: preparing the Wine prefix $WINEPREFIX"
    timeout 900 wineboot -i </dev/null >/dev/null 2>&1 ||
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
