#!/usr/bin/env bash
# Writes seed cabinets for fuzz_open into DIR (default: corpus): gcab's
# stored and MSZIP cabinets of a few small files, so mutations reach both
# the stored walk and the MSZIP decoder, and the samples we ship.
# Usage: fuzz/make_seeds.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-corpus}
mkdir -p "$out"
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
printf 'a small text file\n' > "$src/a.txt"
: > "$src/empty"
head -c 40000 /dev/urandom > "$src/random.bin"
yes 'text that compresses well, spanning more than one block' | head -c 70000 > "$src/text.txt"
(cd "$src" && gcab -c "$OLDPWD/$out/stored.cab" a.txt empty random.bin text.txt)
(cd "$src" && gcab -c -z "$OLDPWD/$out/mszip.cab" a.txt empty random.bin text.txt)
(cd "$src" && gcab -c -z "$OLDPWD/$out/mszip-small.cab" a.txt empty)
cp samples/*.cab "$out/"
echo "seeds in $out: $(ls "$out" | wc -l) files"
