#!/usr/bin/env bash
# The forward floor's figures: the first call of a fresh process (data, sensitivities, IP on the
# 32-electrode dipole-dipole survey, 292 x 82 cells; set-up timed apart) with its peak memory, the
# repeated calls of bench/forward_bench, and the scaling with 64 electrodes to 10^4, 10^5 and 10^6
# cells (time and peak memory). Prints the machine's load beside the figures: the machine is shared
# and only figures measured together compare. Exit status 0 unless something broke.
#
# Usage: scripts/forward_bench.sh [repetitions]   (default 5)
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
repetitions=${1:-5}
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target forward_bench >/dev/null
bench=build/release/forward_bench

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== first call of a fresh process (wall times inside the process; peak memory of the process)"
for what in data sensitivity ip; do
  for run in 1 2 3; do
    line=$(/usr/bin/time -f '%M %e %U %S' -o /tmp/forward_bench_time.$$ "$bench" --first="$what")
    read -r peak elapsed user system </tmp/forward_bench_time.$$
    echo "$line | process: ${elapsed} s wall, $(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }') s CPU, peak $((peak / 1024)) MiB"
  done
done
rm -f /tmp/forward_bench_time.$$

echo "== repeated calls (median of $repetitions; CPU is every thread's)"
"$bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E 'median|Benchmark'

echo "== scaling: 64 electrodes, about 10^4, 10^5 and 10^6 cells"
for cells in 1e4 1e5 1e6; do
  line=$(/usr/bin/time -f '%M %e' -o /tmp/forward_bench_time.$$ "$bench" --scaling="$cells")
  read -r peak elapsed </tmp/forward_bench_time.$$
  echo "$line | process ${elapsed} s, peak $((peak / 1024)) MiB"
done
rm -f /tmp/forward_bench_time.$$
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
