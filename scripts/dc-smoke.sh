#!/usr/bin/env bash
# Runs the Double Commander smoke test (../shared/tools/dc-smoke.sh) with the
# native build on every CE cabinet of the shared corpus, once with the
# installed view on and once with it off, and prints one summary line per run.
# It needs a display server and a GUI package (the tool installs them), so it
# is not part of scripts/test.sh.
#
# Usage: scripts/dc-smoke.sh [CABINET...]   (default: ../shared/corpus/real-ce/*)
# Environment: DC_SMOKE (the tool), OUT_ROOT (default /tmp/dc-smoke-mirad),
# VIEWS (default "all stored"), JOBS (runs at once, default 1; each run has
# its own display), BUILD_DIR (the module and mirad to test, default build).
set -uo pipefail
cd "$(dirname "$0")/.."

tool=${DC_SMOKE:-../shared/tools/dc-smoke.sh}
out_root=${OUT_ROOT:-/tmp/dc-smoke-mirad}
views=${VIEWS:-all stored}
jobs=${JOBS:-1}
[ -f "$tool" ] || { echo "dc-smoke: no smoke tool at $tool (set DC_SMOKE)" >&2; exit 2; }
build=${BUILD_DIR:-build}
if [ -z "${BUILD_DIR:-}" ] && ! { [ -f build/Mirad.wcx ] && [ -x build/mirad ]; }; then
    bash scripts/build.sh native >/dev/null || exit 1
fi
[ -f "$build/Mirad.wcx" ] && [ -x "$build/mirad" ] || { echo "dc-smoke: no Mirad.wcx and mirad in $build" >&2; exit 2; }

cabinets=("$@")
if [ ${#cabinets[@]} -eq 0 ]; then
    shopt -s nullglob nocaseglob
    cabinets=(../shared/corpus/real-ce/*.cab)
    shopt -u nocaseglob
    [ ${#cabinets[@]} -gt 0 ] || { echo "dc-smoke: no corpus at ../shared/corpus/real-ce, nothing to run"; exit 0; }
fi

runs=()
for cab in "${cabinets[@]}"; do
    name=$(basename "$cab")
    # Only CE cabinets the module opens: a compressed cabinet or one without a
    # setup file is refused or plain, and has nothing for this test to show.
    if ! "$build/mirad" --stored list "$cab" 2>/dev/null | grep -qi '\.000$'; then
        echo "SKIP $name: not a CE cabinet the module opens"
        continue
    fi
    for view in $views; do runs+=("$view|$cab"); done
done

out_of() { local cab=${1#*|}; local name; name=$(basename "$cab"); echo "$out_root/${1%%|*}/${name%.*}"; }
for run in "${runs[@]}"; do
    out=$(out_of "$run")
    mkdir -p "$out"
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    (OUT_DIR="$out" MIRAD_VIEW="${run%%|*}" bash "$tool" "$build/Mirad.wcx" "${run#*|}" >"$out/run.txt" 2>&1
        echo $? >"$out/status") &
done
wait

failed=0
for run in "${runs[@]}"; do
    out=$(out_of "$run")
    printf '%-34s %-6s %s\n' "$(basename "${run#*|}")" "${run%%|*}" "$(tail -n 1 "$out/run.txt")"
    if [ "$(cat "$out/status")" != 0 ]; then
        failed=1
        grep '^FAIL' "$out/run.txt" | head -n 5 | sed 's/^/    /'
    fi
done
exit $failed
