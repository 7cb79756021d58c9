#!/usr/bin/env bash
# Builds mirad and lists the sample CE cabinet the way it installs on a
# device: installed paths with the directory macros expanded, the shortcuts,
# and the two generated documents.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
bash scripts/build.sh native >/dev/null
cabinet=samples/sample.cab  # how it was made: samples/README.md
# A private settings directory, so the demo neither needs nor changes yours.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
echo "$ mirad list --all $cabinet"
build/mirad --config "$config" list --all "$cabinet"
