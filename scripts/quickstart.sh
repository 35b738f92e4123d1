#!/usr/bin/env bash
# Sets everything up, builds every command, smooths the bundled model with 5 cycles, inverts the
# bundled synthetic block survey (DC, then IP on the DC model) and imports the bundled field line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quelby quelby-mesh quelby-forward quelby-invert \
  quelby-import >/dev/null
echo "Commands built in $(pwd)/build/release: quelby quelby-mesh quelby-forward quelby-invert quelby-import"

output=build/example_smoothed.mod
build/release/quelby examples/section.msh examples/section.mod "$output" 5
echo "Smoothed model written to $(pwd)/$output"

inversion=$(pwd)/build/block_inversion
(cd examples && ../build/release/quelby-invert --out "$inversion" block.inv)
echo "Inversion of the block survey written to $inversion (model.mod, eta.mod, history.txt, run.log)"

field=$(pwd)/build/field_import
build/release/quelby-import --reciprocal --max-reciprocal-error 10 --max-deviation 5 \
  --drop-electrode 24 examples/field_line.csv "$field"
echo "Field line imported into $field (data.dat, ip.dat, topography.topo, import.log)"
