#!/usr/bin/env bash
# The forward floor's figures beside their targets: the first call of a fresh process (data,
# sensitivities, IP on the 32-electrode dipole-dipole survey, 292 x 82 cells; set-up timed apart;
# the median of the runs) with its peak memory, the repeated calls of bench/forward_bench, a
# field-size profile (64 electrodes, 1231 mixed data), and the scaling with 64 electrodes to 10^4,
# 10^5 and 10^6 cells (time and peak memory of each step). Prints the machine's load beside the
# figures: the machine is shared and only figures measured together compare; CPU time is printed
# beside wall time for that reason. Ends with one line: the targets met, or those missed.
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
missed=()

# check NAME VALUE TARGET: prints the figure beside its target and remembers a miss.
check() {
  if awk -v v="$2" -v t="$3" 'BEGIN { exit !(v <= t) }'; then
    echo "  $1: $2 (target $3) met"
  else
    echo "  $1: $2 (target $3) MISSED"
    missed+=("$1")
  fi
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== first call of a fresh process (wall times inside the process; peak memory of the process)"
declare -A target=([data]=0.25 [sensitivity]=0.6 [ip]=0.35)
for what in data sensitivity ip; do
  times=()
  for run in $(seq 1 "$repetitions"); do
    line=$(/usr/bin/time -f '%M %e %U %S' -o /tmp/forward_bench_time.$$ "$bench" --first="$what")
    read -r peak elapsed user system </tmp/forward_bench_time.$$
    echo "$line | process: ${elapsed} s wall, $(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }') s CPU, peak $((peak / 1024)) MiB"
    times+=("$(echo "$line" | awk -v w="$what" '{ for (i = 1; i < NF; ++i) if ($i == w) v = $(i + 1) } END { print v }')")
  done
  median=$(printf '%s\n' "${times[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  check "$what, median first call (s)" "$median" "${target[$what]}"
done
rm -f /tmp/forward_bench_time.$$

echo "== repeated calls (median of $repetitions; CPU is every thread's)"
"$bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E 'median|Benchmark'

echo "== field size: 64 electrodes, 1231 data of mixed arrays, the default mesh"
"$bench" --field

echo "== scaling: 64 electrodes, 460 dipole-dipole data, about 10^4, 10^5 and 10^6 cells"
for cells in 1e4 1e5 1e6; do
  argument=$cells
  if [ "$cells" = 1e6 ]; then argument=1e6:data; fi
  output=$(/usr/bin/time -f '%M %e' -o /tmp/forward_bench_time.$$ "$bench" --scaling="$argument")
  read -r peak elapsed </tmp/forward_bench_time.$$
  echo "$output"
  echo "  process ${elapsed} s, peak $((peak / 1024)) MiB"
  data=$(echo "$output" | awk '/data \(first call\)/ { print $4 }')
  case $cells in
    1e5) check "10^5 cells, data (s)" "$data" 3 ;;
    1e6)
      check "10^6 cells, data (s)" "$data" 30
      check "10^6 cells, peak (MiB)" "$((peak / 1024))" 2048
      ;;
  esac
done
rm -f /tmp/forward_bench_time.$$
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ ${#missed[@]} -eq 0 ]; then
  echo "forward bench: every target met"
else
  echo "forward bench: missed $(IFS=';'; echo "${missed[*]}")"
fi
