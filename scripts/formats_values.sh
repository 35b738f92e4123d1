#!/usr/bin/env bash
# The numbers of doc/formats.md that the forward model computes, as the doc says they are made:
# the forward.dat block (quelby-mesh line.dat line.msh, then quelby-forward on a uniform 100 ohm-m
# model) ready to paste between its fences, and the apparent resistivities the sentence after it
# quotes. The doc test (tests/doc/formats_test.cpp) compares the doc with the same computation and
# prints the same block when they differ; run this after a change of the forward model.
#
# Usage: scripts/formats_values.sh [BUILD]   (default build/release, built already)
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
build=${1:-build/release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# line.dat is the doc's own example.
awk '/^```text file=line.dat$/ { keep = 1; next } keep && /^```$/ { exit } keep' doc/formats.md \
  >"$work/line.dat"
(
  cd "$work"
  "$OLDPWD/$build/quelby-mesh" line.dat line.msh
  # Cell counts from the mesh file: the sum of the segments' counts in each direction.
  read -r nx nz < <(awk '
    function take(  n, total, k) {
      n = $1; total = 0
      for (k = 1; k <= n; k++) { getline; total += $NF }
      return total
    }
    { x = take(); getline; z = take(); print x, z; exit }' line.msh)
  printf '%s %s\n%s*100\n' "$nx" "$nz" "$((nx * nz))" >uniform.mod
  "$OLDPWD/$build/quelby-forward" line.msh uniform.mod line.dat forward.dat
  echo '```text file=forward.dat'
  cat forward.dat
  echo '```'
  echo
  echo "Apparent resistivities (flat-ground geometric factors; n = 1, then n = 2):"
  awk 'NR > 1 {
    am = $3 - $1; an = $4 - $1; bm = $3 - $2; bn = $4 - $2
    g = 1 / sqrt(am * am) - 1 / sqrt(an * an) - 1 / sqrt(bm * bm) + 1 / sqrt(bn * bn)
    k = 2 * 3.141592653589793 / g
    printf "%s %s %s %s: K = %.2f m, rho_a = %.1f ohm-m\n", $1, $2, $3, $4, k, k * $5
  }' forward.dat
)
