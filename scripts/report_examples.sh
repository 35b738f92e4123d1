#!/usr/bin/env bash
# Usage: scripts/report_examples.sh BUILD_DIR OUT_DIR
# Makes four example run reports with the built commands, each as quelby-invert --report writes
# it: OUT_DIR/block/report.html (the bundled block survey, DC and IP), OUT_DIR/field/report.html (a
# field line imported with its reciprocals), OUT_DIR/timelapse/report.html (a small 2-D time-lapse
# campaign) and OUT_DIR/3d/report.html (a small 3-D survey over a block, made with the Python
# module of BUILD_DIR), and their screenshots OUT_DIR/block.png, field.png, timelapse.png and
# 3d.png with headless chromium. The inputs are made in OUT_DIR/inputs/.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "Usage: $0 BUILD_DIR OUT_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
inputs=$out/inputs
rm -rf "$inputs" "$out/block" "$out/field" "$out/timelapse" "$out/3d"
mkdir -p "$inputs"
log=$inputs/commands.log
: >"$log"

# 1. The bundled block survey: DC, then IP on the resistivity found.
(cd "$root/examples" && "$build/quelby-invert" --report --out "$out/block" block.inv) >>"$log"

# 2. A field line imported with its reciprocal readings (their error model), then inverted.
#    As the README's field line: the bad electrode at 24 m dropped, a robust misfit.
"$build/quelby-import" --reciprocal --max-reciprocal-error 10 --max-deviation 5 \
  --drop-electrode 24 --min-current 0.001 "$root/examples/field_line.csv" "$inputs/field" >>"$log"
"$build/quelby-invert" --report --robust --data "$inputs/field/data.dat" --ip-data "$inputs/field/ip.dat" \
  --topography "$inputs/field/topography.topo" --out "$out/field" >>"$log"

# 3. A monitoring line read three times: the block's resistivity falls from 10 to 5 and 2.5 ohm-m
#    in the later readings (data of the changed models from quelby-forward).
mkdir -p "$inputs/timelapse"
(cd "$inputs/timelapse" && "$build/block_survey" --electrodes 24 --noise 1 line >>"$log")
for step in 1 2; do
  factor=$([ $step = 1 ] && echo 0.5 || echo 0.25)
  awk -v factor=$factor 'NR == 1 { print; next }
    { line = ""; for (i = 1; i <= NF; ++i) { v = $i + 0; if (v < 50) v *= factor;
        line = line sprintf("%13.5E", v) } print line }' \
    "$inputs/timelapse/line_true.mod" >"$inputs/timelapse/step$step.mod"
  "$build/quelby-forward" "$inputs/timelapse/line.msh" "$inputs/timelapse/step$step.mod" \
    "$inputs/timelapse/line_dc.dat" "$inputs/timelapse/step$step.dat" >>"$log"
done
cat >"$inputs/timelapse/monitor.inv" <<CONTROL
! A monitoring line read three times over a block that grows more conductive.
line.msh                ! mesh
line_dc.dat             ! the baseline's DC data
none                    ! IP data
none                    ! topography
none                    ! active cells
default                 ! starting model
default                 ! reference model
3 5 5                   ! length scales
none                    ! cell weights
none                    ! dipping zones
default                 ! chifact
default                 ! iteration limit
DC                      ! what to invert
$out/timelapse          ! output folder
data_std 3 0.0001       ! the later steps' data carry no standard deviations
timelapse_step step1.dat
timelapse_step step2.dat
report
CONTROL
(cd "$inputs/timelapse" && "$build/quelby-invert" monitor.inv) >>"$log"

# 4. A small 3-D survey: 16 electrodes on a 4 x 4 grid over a conductive block.
PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 - "$inputs/3d" "$out/3d" \
  <<'PYTHON' >>"$log"
import os
import sys

import numpy as np

import quelby

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
spacing = 2.0
electrodes = np.array([(i * spacing, j * spacing, 0.0) for j in range(4) for i in range(4)])
rows = []
for j in range(4):
    for i in range(4):
        for di, dj in ((1, 0), (0, 1)):
            points = [(i + s * di, j + s * dj) for s in range(4)]
            if all(p < 4 and q < 4 for p, q in points):
                rows.append([q * 4 + p for p, q in points])
for a in range(16):
    for m in range(15):
        if m % 4 != 3 and a not in (m, m + 1) and np.linalg.norm(electrodes[a] - electrodes[m]) < 5:
            rows.append([a, a, m, m + 1])
a, b, m, n = np.array(rows).T
survey = quelby.Survey3D(electrodes, a, b, m, n)
fine = quelby.survey_mesh3d(survey, cell_budget=15000)
z, y, x = np.meshgrid(fine.z_centres, fine.y_centres, fine.x_centres, indexing="ij")
# The block fills whole cells of the inversion's parameter grid (2 m wide, layers from 1.02 m to
# 2.28 m), so that the data are ones the grid can fit.
block = (np.abs(x - 3) < 1.0) & (np.abs(y - 3) < 1.0) & (z > 1.0) & (z < 2.3)
data = quelby.ForwardModel3D(fine, survey).data(np.where(block, 10.0, 100.0))
noisy = data * (1 + 0.01 * np.random.default_rng(1).standard_normal(data.size))
observed = quelby.Survey3D(electrodes, a, b, m, n, dobs=noisy, dstd=0.03 * np.abs(noisy))
name = os.path.join(folder, "survey3d.dat")
quelby.write_survey3d(name, observed, comment="synthetic block under a 4 x 4 grid")
quelby.invert(data=name, cell_budget=6000, out=sys.argv[2], report=True)
PYTHON

for name in block field timelapse 3d; do
  chromium --headless --no-sandbox --disable-gpu --virtual-time-budget=5000 \
    --screenshot="$out/$name.png" --window-size=1280,2400 "file://$out/$name/report.html" \
    >>"$log" 2>&1
done
ls -l "$out"/*/report.html "$out"/*.png
