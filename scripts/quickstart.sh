#!/usr/bin/env bash
# Sets everything up, builds the commands, smooths the bundled model with 5 cycles and inverts the
# bundled synthetic block survey (DC, then IP on the DC model).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quelby quelby-invert >/dev/null

output=build/example_smoothed.mod
build/release/quelby examples/section.msh examples/section.mod "$output" 5
echo "Smoothed model written to $(pwd)/$output"

inversion=$(pwd)/build/block_inversion
(cd examples && ../build/release/quelby-invert --out "$inversion" block.inv)
echo "Inversion of the block survey written to $inversion (model.mod, eta.mod, history.txt, run.log)"
