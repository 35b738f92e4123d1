#!/usr/bin/env bash
# Sets everything up, builds the release and the sanitizer presets, runs every test of both,
# then runs each fuzz target for 20 seconds on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --fuzz

for preset in release asan; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset"
done

echo "== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in build/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  cp -r fuzz/corpus/"${name%_fuzz}"/. "$corpus"/ 2>/dev/null || true
  echo "== fuzz: $name for 20 s"
  "$target" -max_total_time=20 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$corpus" \
    2>build/fuzz/"$name".log || { tail -n 60 build/fuzz/"$name".log; exit 1; }
  tail -n 3 build/fuzz/"$name".log
done
echo "All tests and fuzz runs passed."
