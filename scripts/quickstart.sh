#!/usr/bin/env bash
# Sets everything up, builds the command and smooths the bundled example with 5 cycles.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quelby >/dev/null

output=build/example_smoothed.mod
build/release/quelby examples/section.msh examples/section.mod "$output" 5
echo "Smoothed model written to $(pwd)/$output"
