#!/usr/bin/env bash
# Sets everything up, builds the release and the sanitizer presets, runs every test of both,
# then runs each fuzz target for a fixed number of inputs from a fixed seed on its committed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --fuzz --package

for preset in release asan; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset"
done

scripts/package_test.sh

echo "== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scripts/fuzz_repeatable.sh
echo "All tests and fuzz runs passed."
