#!/usr/bin/env bash
# Extracting every entry of a 100 MiB MSZIP cabinet of mixed files: mirad
# against cabextract and 7zz, each in turn in the same round, medians of
# RUNS runs after a warm-up, on tmpfs when there is one. Every output is
# compared with the source files. Prints one Markdown table.
# Usage: bench/mszip.sh [BUILD_DIR]   (default: build; RUNS=5, SIZE_MIB=100)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${RUNS:-5}
size_mib=${SIZE_MIB:-100}
mirad=$PWD/$build/mirad
[ -x "$mirad" ] || { echo "mszip.sh: $mirad not built" >&2; exit 2; }
for tool in gcab cabextract 7zz python3; do
    command -v "$tool" >/dev/null || { echo "mszip.sh: $tool is missing" >&2; exit 2; }
done

base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/mirad-mszip-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Mixed files as installers carry them: text, program-like bytes with
# repeats, already-compressed (random) data and runs of zeros, 4 KiB to 4 MiB.
python3 - "$work/src" "$size_mib" <<'EOF'
import os, random, sys
root, total = sys.argv[1], int(sys.argv[2]) << 20
rng = random.Random(1)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(3000)]
made, n = 0, 0
while made < total:
    size = min(total - made, int(4096 * 2 ** rng.uniform(0, 10)))
    kind = n % 4
    if kind == 0:
        data = b" ".join(rng.choice(words) for _ in range(size // 5 + 1))[:size]
    elif kind == 1:
        chunk = rng.randbytes(512)
        data = b"".join(chunk[: rng.randint(16, 512)] + rng.randbytes(rng.randint(0, 64)) for _ in range(size // 200 + 1))[:size]
    elif kind == 2:
        data = rng.randbytes(size)
    else:
        data = (b"\0" * 3000 + rng.randbytes(100)) * (size // 3100 + 1)
        data = data[:size]
    d = os.path.join(root, "dir%d" % (n % 7))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%04d.bin" % n), "wb") as f:
        f.write(data)
    made += size
    n += 1
EOF
(cd "$work/src" && find . -type f | sed 's|^\./||' | sort > "$work/names" && xargs gcab -c -z "$work/bench.cab" < "$work/names")
count=$(wc -l < "$work/names")
cab_bytes=$(stat -c %s "$work/bench.cab")

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

run_tool() {  # TOOL OUT
    case $1 in
        mirad) "$mirad" --stored extract "$work/bench.cab" -d "$2" >/dev/null ;;
        cabextract) cabextract -q -d "$2" "$work/bench.cab" ;;
        7zz) 7zz x -bd -y -o"$2" "$work/bench.cab" >/dev/null ;;
    esac
}

tools=(mirad cabextract 7zz)
declare -A times
for round in $(seq 0 "$runs"); do
    for tool in "${tools[@]}"; do
        out=$work/out-$tool
        rm -rf "$out"
        mkdir -p "$out"
        start=$(now)
        run_tool "$tool" "$out"
        end=$(now)
        # Round 0 is the warm-up; every round's output is checked.
        diff -r -q "$work/src" "$out" >/dev/null || { echo "mszip.sh: $tool extracted different bytes" >&2; exit 1; }
        [ "$round" -eq 0 ] || times[$tool]+="$(echo "$end - $start" | bc -l) "
    done
done

best=""
for tool in cabextract 7zz; do
    m=$(echo "${times[$tool]}" | tr ' ' '\n' | grep . | median)
    if [ -z "$best" ] || [ "$(echo "$m < $best" | bc -l)" = 1 ]; then best=$m; fi
done
echo "Extract all, MSZIP cabinet of $count files, $(numfmt --to=iec "$(du -sb "$work/src" | cut -f1)") in, cabinet $(numfmt --to=iec "$cab_bytes") (gcab -c -z, one folder); medians of $runs runs on $base"
echo
echo "| tool | seconds | × best peer |"
echo "|---|---|---|"
for tool in "${tools[@]}"; do
    m=$(echo "${times[$tool]}" | tr ' ' '\n' | grep . | median)
    printf '| %s | %.3f | %.2f |\n' "$tool" "$m" "$(echo "$m / $best" | bc -l)"
done
