#!/usr/bin/env bash
# Sets everything up, builds every command, installs the commands' manual pages where `man` finds
# them, smooths the bundled model with 5 cycles, inverts the bundled synthetic block survey (DC,
# then IP on the DC model) with its report (report.html) and imports the bundled field line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quelby quelby-mesh quelby-forward quelby-invert \
  quelby-import quelby-report >/dev/null
echo "Commands built in $(pwd)/build/release: quelby quelby-mesh quelby-forward quelby-invert quelby-import quelby-report"

# The manual pages, as CMake configured them (build/release/generated/*.1), into a folder that `man`
# searches without a MANPATH: /usr/local/share/man/man1 when it can be written, as root or through
# sudo; else ~/.local/share/man/man1, which man-db searches for users with ~/.local/bin on PATH.
pages=(build/release/generated/*.1)
system_pages=/usr/local/share/man/man1
run_as=()
if [[ $(id -u) -ne 0 ]] &&
  ! { mkdir -p "$system_pages" 2>/dev/null && [[ -w $system_pages ]]; }; then
  if command -v sudo >/dev/null && { sudo -n true 2>/dev/null || [[ -t 0 ]]; }; then
    run_as=(sudo)
  else
    system_pages=
  fi
fi
if [[ -n $system_pages ]]; then
  "${run_as[@]}" install -d "$system_pages"
  "${run_as[@]}" install -m 644 "${pages[@]}" "$system_pages/"
  if command -v mandb >/dev/null; then "${run_as[@]}" mandb -q "${system_pages%/man1}" || true; fi
  man_folder=$system_pages
else
  man_folder=$HOME/.local/share/man/man1
  install -d "$man_folder"
  install -m 644 "${pages[@]}" "$man_folder/"
  if command -v mandb >/dev/null; then mandb -q --user-db 2>/dev/null || true; fi
  echo "Note: the manual pages are in $man_folder; man finds them when ~/.local/bin is on PATH" \
    "(else: export MANPATH=\"$HOME/.local/share/man:\")"
fi
found=$(man -w quelby-import 2>/dev/null) ||
  found=$(MANPATH="$HOME/.local/share/man:" man -w quelby-import 2>/dev/null) || {
  echo "quickstart.sh: man does not find quelby-import after installing it in $man_folder" >&2
  exit 1
}
[[ $(realpath "$found") == "$(realpath "$man_folder")"/* ]] ||
  echo "Note: man shows $found, found before $man_folder"
echo "Manual pages installed in $man_folder: man quelby-import"

output=build/example_smoothed.mod
build/release/quelby examples/section.msh examples/section.mod "$output" 5
echo "Smoothed model written to $(pwd)/$output"

inversion=$(pwd)/build/block_inversion
(cd examples && ../build/release/quelby-invert --report --out "$inversion" block.inv)
echo "Inversion of the block survey written to $inversion (model.mod, eta.mod, history.txt, run.log;"
echo "its report, one web page: $inversion/report.html)"

field=$(pwd)/build/field_import
build/release/quelby-import --reciprocal --max-reciprocal-error 10 --max-deviation 5 \
  --drop-electrode 24 examples/field_line.csv "$field"
echo "Field line imported into $field (data.dat, ip.dat, topography.topo, import.log)"
