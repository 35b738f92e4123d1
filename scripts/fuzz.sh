#!/usr/bin/env bash
# An open-ended random fuzz campaign of one target: a random seed, for the given number of
# seconds, on a copy of its committed corpus that grows as it runs (build/fuzz/campaign/TARGET).
# A finding is written as build/fuzz/findings/TARGET/crash-* (or leak-*, timeout-*, oom-*): mend
# the code, then commit the input to fuzz/corpus/<target without _fuzz>/ with the fix.
# Usage: scripts/fuzz.sh TARGET SECONDS    e.g. scripts/fuzz.sh readers_fuzz 600
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -ne 2 ]]; then
  echo "usage: scripts/fuzz.sh TARGET SECONDS" >&2
  exit 2
fi
target=${1%_fuzz}_fuzz
seconds=$2

scripts/setup.sh --fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "$target"

corpus=build/fuzz/campaign/$target
findings=build/fuzz/findings/$target
mkdir -p "$corpus" "$findings"
cp -r fuzz/corpus/"${target%_fuzz}"/. "$corpus"/ 2>/dev/null || true
echo "== $target for $seconds s, corpus $corpus, findings in $findings/"
status=0
build/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$findings"/ "$corpus" 2>build/fuzz/"$target".campaign.log ||
  status=$?
grep -E 'stat::number_of_executed_units|^#[0-9]+.*DONE|Done [0-9]+ runs' \
  build/fuzz/"$target".campaign.log || true
if [[ $status -ne 0 ]]; then
  tail -n 40 build/fuzz/"$target".campaign.log
  echo "finding(s): $(ls "$findings")"
fi
exit "$status"
