#!/usr/bin/env bash
# Measures quelby against the plain reference command (bench/reference) on a 2000 by 1000 model,
# side by side in one run, and prints each ratio of medians beside its target, the command's peak
# memory beside its limit, and one PASS or FAIL line.
#
#   model read, write, one pass : bench/model_bench, repetitions interleaved at random, medians
#   one pass with fixed cells   : bench/model_bench, three masks, against the library's plain pass
#   whole command, 1 and 20     : quelby and quelby_reference as whole processes, runs interleaved;
#                                 quelby with --topography and --active beside quelby without
#   phases of one run           : the command's own timer (--phases FILE), start-up and exit
#                                 by this script's clock; their sum beside the whole-process time
#   peak memory                 : maximum resident set size from /usr/bin/time -v
#
# The machine is shared and noisy, so only ratios measured together count. The exit status is 0
# whether the targets are met or not; it is not 0 only when something broke.
#
# Usage: scripts/bench.sh [repetitions]   (default 7)
set -euo pipefail
shopt -s inherit_errexit
export LC_ALL=C
cd "$(dirname "$0")/.."

repetitions=${1:-7}
build=build/release

scripts/setup.sh
build_log=$(mktemp)
if ! { cmake --preset release && cmake --build --preset release --target quelby quelby_reference \
  model_bench; } >"$build_log" 2>&1; then
  cat "$build_log" >&2
  rm -f "$build_log"
  exit 1
fi
rm -f "$build_log"

# How busy the machine is before anything of ours runs: the share of all cores used by others
# over one second.
cpu_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8 }' /proc/stat; }
read -r busy_before total_before < <(cpu_ticks)
sleep 1
read -r busy_after total_after < <(cpu_ticks)
busy_percent=$(((busy_after - busy_before) * 100 / (total_after - total_before > 0 ? total_after - total_before : 1)))
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d "${TMPDIR:-/tmp}/quelby_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Another build in this tree may relink the programs while this runs: measure copies.
for program in quelby quelby_reference model_bench; do cp "$build/$program" "$work/$program"; done
build=$work

# The inputs: the benchmark program's mesh and model (log-normal values around 100 ohm-m).
"$build"/model_bench --write_inputs="$work"
mesh=$work/mesh.txt
model=$work/model.txt
read -r nx nz <"$model"
model_mb=$(awk -v bytes="$(stat -c %s "$model")" 'BEGIN { printf "%.1f", bytes / 1e6 }')

# ---------------------------------------------------------------------------------------------
# Read, write, one pass and log/exp, in process. Each repetition runs at least 0.2 s.
echo "Running bench/model_bench: $repetitions repetitions of each, interleaved ..." >&2
"$build"/model_bench --benchmark_repetitions="$repetitions" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2 --benchmark_format=csv >"$work/model_bench.csv" 2>"$work/model_bench.err" ||
  {
    cat "$work/model_bench.err" >&2
    exit 1
  }

# The median wall-clock time of a benchmark, in milliseconds.
bench_median() {
  awk -F, -v name="$1" '{ gsub(/"/, "", $1) } $1 == name "_median" || $1 == name "/real_time_median" {
      time = $3; unit = $5
      if (unit == "ns") time /= 1e6; else if (unit == "us") time /= 1e3; else if (unit == "s") time *= 1e3
      print time; found = 1 }
    END { if (!found) exit 1 }' "$work/model_bench.csv"
}

# ---------------------------------------------------------------------------------------------
# The whole command, as processes: both commands on the same files, alternating which goes first.
run_timed() { # seconds of one run of "$@"
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "Running the whole commands: $repetitions runs of each, interleaved ..." >&2
# One untimed run of each warms the page cache and gives the outputs to compare.
for cycles in 1 20; do
  "$build"/quelby "$mesh" "$model" "$work/quelby_$cycles.txt" "$cycles" >/dev/null
  "$build"/quelby_reference "$mesh" "$model" "$work/reference_$cycles.txt" "$cycles" >/dev/null
done
# Each round runs the four cases once, starting one case later than the round before, so that a
# change in the machine's load falls on all four alike.
fixed_cells=(--topography "$work/topography.txt" --active "$work/active.txt")
"$build"/quelby "${fixed_cells[@]}" "$mesh" "$model" "$work/quelby_fixed_20.txt" 20 >/dev/null
cases=(quelby:1 quelby_reference:1 quelby:20 quelby_reference:20 quelby_fixed:20)
declare -A times
for ((run = 0; run < repetitions; run++)); do
  for ((slot = 0; slot < ${#cases[@]}; slot++)); do
    case=${cases[$(((run + slot) % ${#cases[@]}))]}
    program=${case%:*}
    cycles=${case#*:}
    options=()
    if [[ $program == quelby_fixed ]]; then
      program=quelby
      options=("${fixed_cells[@]}")
    fi
    times[$case]+="$(run_timed "$build/$program" "${options[@]}" "$mesh" "$model" "$work/out_$program.txt" "$cycles") "
  done
done
seconds_median() { tr ' ' '\n' <<<"${times[$1]}" | grep . | median; }

# ---------------------------------------------------------------------------------------------
# Where the time of one whole run goes: the command's own phase timer (--phases FILE) for the
# phases inside the process, this script's clock for the time before main (fork, exec, loading)
# and after the last exit handler (the kernel releasing the process).
echo "Running the command with its phase timer: $repetitions runs of 1 and of 20 cycles ..." >&2
for ((run = 0; run < repetitions; run++)); do
  for cycles in 1 20; do
    report=$work/phases_${cycles}_$run.txt
    start=$EPOCHREALTIME
    "$build/quelby" --phases "$report" "$mesh" "$model" "$work/out_phases.txt" "$cycles" >/dev/null
    end=$EPOCHREALTIME
    echo "launch $start" >>"$report"
    echo "end $end" >>"$report"
  done
done
# The median over the runs of one row of the phase table, in milliseconds.
phase_median() { # cycles row
  for report in "$work"/phases_"$1"_*.txt; do
    awk -v row="$2" '
      $1 == "stamp" || $1 == "launch" || $1 == "end" { stamp[$1 == "stamp" ? $2 : $1] = $NF }
      $1 == "phase" { phase[$2] = $3 }
      END {
        if (row == "before main") value = stamp["main"] - stamp["launch"]
        else if (row == "after exit handlers") value = stamp["end"] - stamp["exit"]
        else value = phase[row]
        printf "%.3f\n", value * 1000 }' "$report"
  done | median
}

identical=yes
for cycles in 1 20; do
  cmp -s "$work/quelby_$cycles.txt" "$work/reference_$cycles.txt" || identical=no
done

# ---------------------------------------------------------------------------------------------
# Peak memory of the command with 20 cycles, against two models plus 16 MiB.
peak_kib() {
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'
}
quelby_kib=$(peak_kib "$build"/quelby "$mesh" "$model" "$work/q.txt" 20)
reference_kib=$(peak_kib "$build"/quelby_reference "$mesh" "$model" "$work/r.txt" 20)
limit_bytes=$((2 * nx * nz * 8 + 16 * 1024 * 1024))

# ---------------------------------------------------------------------------------------------
# The table.
verdict=PASS
line() { printf '%-28s %12s %12s %9s %9s  %s\n' "$@"; }
# One row: a ratio judged against its target with >= or <=; a target of 0 is none.
judged_row() { # label first_ms second_ms ratio target comparison
  local result="" shown="-"
  if [[ $5 != 0 ]]; then
    shown="$6 ${5}x"
    if awk -v x="$4" -v t="$5" -v op="$6" 'BEGIN { exit !(op == ">=" ? x >= t : x <= t) }'; then
      result=pass
    else
      result=FAIL
      verdict=FAIL
    fi
  fi
  line "$1" "$(printf '%.2f ms' "$2")" "$(printf '%.2f ms' "$3")" "${4}x" "$shown" "$result"
}
row() { # label quelby_ms reference_ms target: reference / quelby, at least the target
  judged_row "$1" "$2" "$3" "$(awk -v q="$2" -v r="$3" 'BEGIN { printf "%.2f", r / q }')" "$4" ">="
}
slower_row() { # label masked_ms plain_ms limit: masked / plain, at most the limit
  judged_row "$1" "$2" "$3" "$(awk -v m="$2" -v p="$3" 'BEGIN { printf "%.2f", m / p }')" "$4" "<="
}
ms() { awk -v s="$1" 'BEGIN { printf "%.3f", s * 1000 }'; }

# Every figure first, so that a missing one stops the script here.
read_q=$(bench_median read_library)
read_r=$(bench_median read_reference)
write_q=$(bench_median write_library)
write_r=$(bench_median write_reference)
pass_q=$(bench_median pass_library)
pass_r=$(bench_median pass_reference)
log_exp_q=$(bench_median log_exp_library)
log_exp_r=$(bench_median log_exp_reference)
masked_surface=$(bench_median pass_masked_surface)
masked_padding=$(bench_median pass_masked_padding)
masked_scattered=$(bench_median pass_masked_scattered)
command_1_q=$(ms "$(seconds_median quelby:1)")
command_1_r=$(ms "$(seconds_median quelby_reference:1)")
command_20_q=$(ms "$(seconds_median quelby:20)")
command_20_r=$(ms "$(seconds_median quelby_reference:20)")
command_20_fixed=$(ms "$(seconds_median quelby_fixed:20)")

echo
echo "quelby against the plain reference: $nx x $nz model ($model_mb MB of text), $(nproc) cores"
echo "medians of $repetitions interleaved runs each; ratio = reference time / quelby time"
echo "before the runs, other work kept ${busy_percent}% of the cores busy; load average at start:" \
  "$load_at_start; at end: $(cut -d' ' -f1-3 /proc/loadavg)"
if ((busy_percent >= 20)); then
  echo "note: the machine was busy; quelby's two-thread stages lose more to other work than the"
  echo "      one-thread reference does, so its ratios come out lower than on a quiet machine"
fi
echo
line "work" "quelby" "reference" "ratio" "target" "result"
line "----" "------" "---------" "-----" "------" "------"
row "model read" "$read_q" "$read_r" 5
row "model write" "$write_q" "$write_r" 8
row "one smoothing pass" "$pass_q" "$pass_r" 5
row "log and exp of the model" "$log_exp_q" "$log_exp_r" 0
row "whole command, 1 cycle" "$command_1_q" "$command_1_r" 12
row "whole command, 20 cycles" "$command_20_q" "$command_20_r" 12
check_ms() { # label measured_ms limit_ms
  local result=pass
  if ! awk -v t="$2" -v l="$3" 'BEGIN { exit !(t <= l) }'; then
    result=FAIL
    verdict=FAIL
  fi
  line "$1" "$(printf '%.2f ms' "$2")" "" "" "<= $3 ms" "$result"
}
check_ms "whole command, 20 cycles" "$command_20_q" 80
echo
echo "one run of quelby, phase by phase (medians of $repetitions runs; 'before main' and 'after exit"
echo "handlers' by this script's clock, the rest by the command's own timer)"
printf '%-28s %12s %12s\n' "phase" "1 cycle" "20 cycles"
printf '%-28s %12s %12s\n' "-----" "-------" "---------"
sum_1=0
sum_20=0
for row in "before main" startup mesh allocate read ln passes exp format write rename teardown \
  "after exit handlers"; do
  phase_1=$(phase_median 1 "$row")
  phase_20=$(phase_median 20 "$row")
  sum_1=$(awk -v a="$sum_1" -v b="$phase_1" 'BEGIN { print a + b }')
  sum_20=$(awk -v a="$sum_20" -v b="$phase_20" 'BEGIN { print a + b }')
  printf '%-28s %12s %12s\n' "$row" "$(printf '%.2f ms' "$phase_1")" "$(printf '%.2f ms' "$phase_20")"
done
printf '%-28s %12s %12s\n' "sum of the medians" "$(printf '%.2f ms' "$sum_1")" \
  "$(printf '%.2f ms' "$sum_20")"
printf '%-28s %12s %12s\n' "whole process, timer off" "$(printf '%.2f ms' "$command_1_q")" \
  "$(printf '%.2f ms' "$command_20_q")"
echo
echo "fixed cells: time with a mask against quelby's time without one; ratio = masked / plain"
echo
line "work" "masked" "plain" "ratio" "limit" "result"
line "----" "------" "-----" "-----" "-----" "------"
slower_row "pass, under a surface" "$masked_surface" "$pass_q" 1.5
slower_row "pass, surface and padding" "$masked_padding" "$pass_q" 1.5
slower_row "pass, 1 cell in 20 at random" "$masked_scattered" "$pass_q" 0
slower_row "whole command, 20 cycles" "$command_20_fixed" "$command_20_q" 0
echo
check() { printf '%-28s %-52s %s\n' "$@"; }
check "check" "measured" "result"
check "-----" "--------" "------"
if [[ $identical == yes ]]; then result=pass; else
  result=FAIL
  verdict=FAIL
fi
check "outputs byte-identical" "$identical (1 and 20 cycles)" "$result"
if ((quelby_kib * 1024 <= limit_bytes)); then result=pass; else
  result=FAIL
  verdict=FAIL
fi
check "peak memory, 20 cycles" "$(awk -v q="$quelby_kib" -v l="$limit_bytes" 'BEGIN {
  printf "%.1f MiB, limit %.1f MiB (two models + 16 MiB)", q / 1024, l / 1048576 }')" "$result"
check "  reference command" "$(awk -v r="$reference_kib" 'BEGIN { printf "%.1f MiB", r / 1024 }')" ""
echo
echo "$verdict"
