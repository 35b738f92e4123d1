#!/usr/bin/env bash
# The inversion's figures on field-size lines: 64 electrodes 1 m apart over the block of
# examples/block_survey.cpp on the default mesh of quelby-mesh (a quarter-spacing core), with
# about 200 data (dipole-dipole), 1200 (Wenner, Wenner-Schlumberger and dipole-dipole readings of
# one line), 3000 (the same to larger spacings, each read normal and reciprocal) and 2945 distinct
# readings to n = 30, on the default parameter grid; the 1200- and 2945-reading lines also with one
# parameter per mesh cell (--parameter-cell mesh), side by side. Each run is a
# fresh process (what a user meets): its wall time, CPU time, peak memory and iterations, and the
# time of each phase from its run log. Then the robust misfit on the 1200-reading line with six
# spoiled readings. Prints the machine's load: the machine is shared and only figures measured
# together compare.
#
# Usage: scripts/inversion_bench.sh [runs]   (default 3; the median is printed)
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
runs=${1:-3}
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quelby-invert block_survey >/dev/null
build=$PWD/build/release
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

make_line() {  # name, block_survey options
  local name=$1
  shift
  "$build/block_survey" --electrodes 64 --spacing 1 --seed 3 "$@" "$name" >/dev/null
}
make_line d200 --n-max 4
make_line d1200 --arrays mixed --n-max 8
make_line d3000 --arrays mixed --n-max 10 --reciprocals
make_line s1200 --arrays mixed --n-max 8 --spoil 6
make_line n30 --arrays mixed --n-max 30

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
invert() {  # name, options...
  local name=$1
  shift
  local out="out_$name" times=()
  for ((run = 1; run <= runs; ++run)); do
    rm -rf "$out"
    /usr/bin/time -f '%e %U %S %M' -o time.txt "$build/quelby-invert" --mesh "$name.msh" \
      --data "${name}_dc.dat" --out "$out" "$@" >/dev/null
    read -r wall user system peak <time.txt
    times+=("$wall $(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }') $((peak / 1024))")
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
  read -r wall cpu peak <<<"$median"
  local ndat nparameters stop phases
  ndat=$(grep -m1 -o 'inversion of [0-9]* data' "$out/run.log" | grep -o '[0-9]*')
  nparameters=$(grep -m1 -o 'for [0-9]* parameters' "$out/run.log" | grep -o '[0-9]*')
  stop=$(grep -m1 'DC inversion: ' "$out/run.log" | sed 's/^DC inversion: //')
  phases=$(grep -m1 'DC inversion time:' "$out/run.log" | sed 's/^DC inversion time: //')
  echo "$name $*: $ndat data, $nparameters parameters: ${wall} s wall (median of $runs), ${cpu} s CPU, peak ${peak} MiB; $stop"
  echo "    phases: $phases"
}
invert d200
invert d1200
invert d1200 --parameter-cell mesh
invert d3000
invert n30
invert n30 --parameter-cell mesh
invert s1200
invert s1200 --robust
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
