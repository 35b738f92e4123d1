#!/usr/bin/env bash
# The fuzz step of the test script: every fuzz target built by the fuzz preset runs a fixed number
# of inputs from a fixed seed over a fresh copy of its committed corpus, with address-space
# randomisation turned off (libFuzzer's tables of recent comparisons are keyed by code addresses),
# so that one commit always explores the same inputs and gives the same answer.
# Usage: scripts/fuzz_repeatable.sh   (after `cmake --build --preset fuzz`)
set -euo pipefail
cd "$(dirname "$0")/.."

# Runs per target, sized to 2 to 20 seconds each on the 2-core machine; others take the default.
declare -A runs=([free_format_fuzz]=25000 [readers_fuzz]=12000 [inversion_control_fuzz]=4000
  [survey_mesh_fuzz]=6000 [sensitivity_file_fuzz]=4000 [field_import_fuzz]=8000
  [run_folder_fuzz]=4000)
default_runs=12000

no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  no_aslr=(setarch "$(uname -m)" -R)
else
  echo "warning: cannot turn off address-space randomisation; fuzz runs may differ between runs"
fi

for target in build/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=build/fuzz/repeatable/$name
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp -r fuzz/corpus/"${name%_fuzz}"/. "$corpus"/ 2>/dev/null || true
  count=${runs[$name]:-$default_runs}
  echo "== fuzz: $name, $count runs from seed 1"
  started=$SECONDS
  "${no_aslr[@]}" "$target" -seed=1 -runs="$count" -reload=0 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/"$name"- "$corpus" \
    2>build/fuzz/"$name".log || { tail -n 60 build/fuzz/"$name".log; exit 1; }
  grep -E '^#[0-9]+.*DONE|number_of_executed_units|Done [0-9]+ runs' build/fuzz/"$name".log || true
  echo "   $((SECONDS - started)) s"
done
