#!/usr/bin/env bash
# What a program meets that builds its objective or reads its data once: bench/objective_bench
# --first_build runs one build_model_objective in a fresh process, bench/survey_bench --first_read
# one read_data_file, and each reports its time and page faults. This script runs every case in
# several fresh processes, the cases interleaved so that a change in the machine's load falls on
# all alike, and prints the medians beside the target.
#
# Usage: scripts/first_call.sh [processes]   (default 7)
set -euo pipefail
shopt -s inherit_errexit
export LC_ALL=C
cd "$(dirname "$0")/.."

processes=${1:-7}
build=build/release
first_build_target_ms=350 # 10^6 parameters, no dip

scripts/setup.sh
build_log=$(mktemp)
if ! { cmake --preset release && cmake --build --preset release --target objective_bench survey_bench; } \
  >"$build_log" 2>&1; then
  cat "$build_log" >&2
  rm -f "$build_log"
  exit 1
fi
rm -f "$build_log"

work=$(mktemp -d "${TMPDIR:-/tmp}/quelby_first_call.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Another build in this tree may relink the program while this runs: measure a copy.
cp "$build/objective_bench" "$build/survey_bench" "$work/"
"$work/survey_bench" --write_surveys="$work/surveys"

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
cases=(first_build=10000 first_build=100000 first_build=1000000
  first_build_dip=10000 first_build_dip=100000 first_build_dip=1000000)
for ndat in 10000 100000 1000000; do cases+=("first_read=general_$ndat" "first_read=common_current_$ndat"); done
declare -A times faults
echo "Running $processes fresh processes of each of ${#cases[@]} cases, interleaved ..." >&2
for ((run = 0; run < processes; run++)); do
  for ((slot = 0; slot < ${#cases[@]}; slot++)); do
    case=${cases[$(((run + slot) % ${#cases[@]}))]}
    if [[ $case == first_read=* ]]; then
      line=$("$work/survey_bench" "--first_read=$work/surveys/${case#*=}.dat")
    else
      line=$("$work/objective_bench" "--$case")
    fi
    times[$case]+="$(sed -n 's/.* ms=\([0-9.]*\).*/\1/p' <<<"$line") "
    faults[$case]+="$(sed -n 's/.* page_faults=\([0-9]*\).*/\1/p' <<<"$line") "
  done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END {
  if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo
echo "the first build or read in a fresh process: medians of $processes processes each"
echo "load average at start: $load_at_start; at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%-28s %12s %14s %12s %10s  %s\n' case time per_item page_faults target result
verdict=PASS
for case in "${cases[@]}"; do
  parameters=${case##*[=_]}
  ms=$(median <<<"${times[$case]}")
  per=$(awk -v ms="$ms" -v n="$parameters" 'BEGIN { printf "%.0f ns", ms * 1e6 / n }')
  target=- result=
  if [[ $case == first_build=1000000 ]]; then
    target="<= ${first_build_target_ms} ms"
    if awk -v ms="$ms" -v t="$first_build_target_ms" 'BEGIN { exit !(ms <= t) }'; then
      result=pass
    else
      result=FAIL
      verdict=FAIL
    fi
  fi
  printf '%-28s %12s %14s %12s %10s  %s\n' "${case/=/ }" "$(printf '%.1f ms' "$ms")" "$per" \
    "$(median <<<"${faults[$case]}")" "$target" "$result"
done
echo
echo "$verdict"
