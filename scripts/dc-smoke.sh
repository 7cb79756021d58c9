#!/usr/bin/env bash
# Runs the Double Commander smoke test (../shared/tools/dc-smoke.sh) with the
# native build on every CE cabinet of the shared corpus, once with the
# installed view on and once with it off, and prints one summary line per run.
# It needs a display server and a GUI package (the tool installs them), so it
# is not part of scripts/test.sh.
#
# Usage: scripts/dc-smoke.sh [CABINET...]   (default: ../shared/corpus/real-ce/*)
# Environment: DC_SMOKE (the tool), OUT_ROOT (default /tmp/dc-smoke-mirad),
# VIEWS (default "all stored").
set -uo pipefail
cd "$(dirname "$0")/.."

tool=${DC_SMOKE:-../shared/tools/dc-smoke.sh}
out_root=${OUT_ROOT:-/tmp/dc-smoke-mirad}
views=${VIEWS:-all stored}
[ -f "$tool" ] || { echo "dc-smoke: no smoke tool at $tool (set DC_SMOKE)" >&2; exit 2; }
[ -f build/Mirad.wcx ] && [ -x build/mirad ] || bash scripts/build.sh native >/dev/null || exit 1

cabinets=("$@")
if [ ${#cabinets[@]} -eq 0 ]; then
    shopt -s nullglob nocaseglob
    cabinets=(../shared/corpus/real-ce/*.cab)
    shopt -u nocaseglob
    [ ${#cabinets[@]} -gt 0 ] || { echo "dc-smoke: no corpus at ../shared/corpus/real-ce, nothing to run"; exit 0; }
fi

failed=0
for cab in "${cabinets[@]}"; do
    name=$(basename "$cab")
    # Only CE cabinets the module opens: a compressed cabinet or one without a
    # setup file is refused or plain, and has nothing for this test to show.
    if ! build/mirad --stored list "$cab" 2>/dev/null | grep -qi '\.000$'; then
        echo "SKIP $name: not a CE cabinet the module opens"
        continue
    fi
    for view in $views; do
        out="$out_root/$view/${name%.*}"
        mkdir -p "$out"
        OUT_DIR="$out" MIRAD_VIEW="$view" bash "$tool" build/Mirad.wcx "$cab" >"$out/run.txt" 2>&1
        status=$?
        printf '%-34s %-6s %s\n' "$name" "$view" "$(tail -n 1 "$out/run.txt")"
        if [ $status -ne 0 ]; then
            failed=1
            grep '^FAIL' "$out/run.txt" | head -n 5 | sed 's/^/    /'
        fi
    done
done
exit $failed
