#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each one for
# SECONDS (default 60) on a scratch copy of its committed seed corpus
# (fuzz/corpus/NAME/), under AddressSanitizer and UndefinedBehaviorSanitizer.
# Any finding (a crash, a sanitizer report, a broken invariant) fails the run
# and leaves the input in build-fuzz/findings/.
# With --coverage, builds the targets with source-based coverage instead
# (build-fuzz-cov/), runs each once over its seeds and what earlier runs
# learnt (build-fuzz/corpus-NAME/), and prints line coverage per folder.
# The INF target also reads the shared corpus's wizard INFs (../shared/corpus/inf)
# when that folder is there; they are never copied into the repository.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]     (targets: views update open inf reg)
#        scripts/fuzz.sh --coverage [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
coverage=0
if [ "${1:-}" = --coverage ]; then
    coverage=1
    shift
    seconds=0
else
    seconds=${1:-60}
    shift || true
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(views update open inf reg)

# Seed folders of a target: the committed ones, and for the INF reader the
# shared corpus's INFs, read in place.
seeds() {
    echo "fuzz/corpus/$1"
    if [ "$1" = inf ] && [ -d ../shared/corpus/inf ]; then echo ../shared/corpus/inf; fi
}

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz.sh: clang++ is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
build=build-fuzz
[ $coverage -eq 0 ] || build=build-fuzz-cov
if [ ! -f $build/CMakeCache.txt ]; then
    CC=clang CXX=clang++ cmake -S . -B $build "${generator[@]}" -DMIRAD_TESTS=OFF -DMIRAD_FUZZ=ON \
        -DMIRAD_FUZZ_COVERAGE=$([ $coverage -eq 1 ] && echo ON || echo OFF)
fi
cmake --build $build -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]/#/fuzz_}"

if [ $coverage -eq 1 ]; then
    rm -f $build/*.profraw
    objects=()
    for target in "${targets[@]}"; do
        mapfile -t inputs < <(seeds "$target")
        [ -d build-fuzz/corpus-"$target" ] && inputs+=(build-fuzz/corpus-"$target")
        LLVM_PROFILE_FILE="$build/$target-%p.profraw" $build/fuzz_"$target" -runs=0 -max_len=65536 \
            "${inputs[@]}" >/dev/null 2>&1 || true
        llvm-profdata merge -sparse $build/"$target"-*.profraw -o $build/"$target".profdata
        echo "fuzz.sh: fuzz_$target over $(find "${inputs[@]}" -type f | wc -l) inputs, lines reached per folder:"
        # Sum the per-file line counts of llvm-cov's report by folder.
        llvm-cov report $build/fuzz_"$target" -instr-profile=$build/"$target".profdata \
            -ignore-filename-regex='(fuzz|usr)/' | awk '
            $1 ~ /\// && NF >= 10 {
                split($1, p, "/"); dir = p[length(p) - 1];
                lines[dir] += $8; missed[dir] += $9
            }
            END { for (d in lines) printf "  %-10s %5d of %5d lines (%5.1f%%)\n", d, lines[d] - missed[d], lines[d],
                                              lines[d] ? 100 * (lines[d] - missed[d]) / lines[d] : 0 }' | sort
    done
    exit 0
fi

status=0
for target in "${targets[@]}"; do
    scratch=build-fuzz/corpus-$target
    findings=build-fuzz/findings/$target
    mkdir -p "$scratch" "$findings"
    echo "fuzz.sh: fuzz_$target for ${seconds}s"
    # New inputs go to the scratch directory; the committed seeds stay as they are.
    # The target's own output (the module's notes on odd registry values) goes
    # to the log too, so only the statistics reach the terminal.
    mapfile -t inputs < <(seeds "$target")
    if ! build-fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
        -dict=fuzz/dict -artifact_prefix="$findings/" -print_final_stats=1 \
        "$scratch" "${inputs[@]}" >build-fuzz/fuzz-"$target".log 2>&1; then
        echo "fuzz.sh: fuzz_$target found a fault (build-fuzz/fuzz-$target.log, $findings/)" >&2
        tail -40 build-fuzz/fuzz-"$target".log >&2
        status=1
    else
        grep -E "^stat::number_of_executed_units|^#[0-9]+.*DONE" build-fuzz/fuzz-"$target".log | tail -2 || true
    fi
done
exit $status
