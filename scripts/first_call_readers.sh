#!/usr/bin/env bash
# First-call figures of the survey data readers: the median over fresh processes of one
# read_data_file call on a file of 10^6 data (both layouts), printed beside the per-datum time of
# the repeated read in one process (bench/survey_bench) and the targets of the repeated read.
# Fresh processes meet fresh memory: the first call pays the page faults a repeated one may not.
#
# Usage: scripts/first_call_readers.sh [processes] [data]   (defaults 7 and 1000000)
# Expects build/release/survey_bench (cmake --build --preset release --target survey_bench). The
# machine is shared: the load average is printed; compare figures of one run only.
set -euo pipefail
shopt -s inherit_errexit
export LC_ALL=C
cd "$(dirname "$0")/.."

processes=${1:-7}
ndat=${2:-1000000}
bench=build/release/survey_bench
[[ -x $bench ]] || { echo "build $bench first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bench" --write_files="$work" --size="$ndat"

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-16s %14s %14s %18s %10s\n' layout first_ms first_ns/datum repeated_ns/datum target
for layout in general common_current; do
  file="$work/${layout}_${ndat}.dat"
  : >"$work/runs"
  for _ in $(seq "$processes"); do
    "$bench" --first_read="$file" >>"$work/runs"
  done
  first_ms=$(awk '{ print $2 }' "$work/runs" | median)
  first_ns=$(awk '{ print $4 }' "$work/runs" | median)
  case $layout in
    general) filter="BM_GeneralLayout/$ndat\$" target=300 ;;
    common_current) filter="BM_CommonCurrentLayout/$ndat\$" target=120 ;;
  esac
  repeated=$("$bench" --benchmark_filter="$filter" --benchmark_min_time=1 \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
    awk '/_median/ { for (k = 1; k <= NF; ++k) if ($k ~ /^per_datum=/) { sub(/per_datum=/, "", $k); print $k } }')
  printf '%-16s %14s %14s %18s %10s\n' "$layout" "$first_ms" "$first_ns" "$repeated" "<=${target}ns"
done
