#!/usr/bin/env bash
# Sets everything up, builds the release and the sanitizer presets, runs every test of both and the
# Python tests, builds the documentation site from the release build (scripts/docs.sh: its gallery
# runs, its warnings are errors, its links are checked), then runs each fuzz target for a fixed
# number of inputs from a fixed seed on its committed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --fuzz --package --python --docs

# Each stage's seconds, so that the run's time can be followed stage by stage.
mark=$SECONDS
took() {
  echo "   ($1: $((SECONDS - mark)) s)"
  mark=$SECONDS
}

# The release build carries the Python module, built for Debian's own interpreter (the one whose
# numpy, scipy and matplotlib packages are installed).
python=/usr/bin/python3
for preset in release asan; do
  echo "== $preset: build"
  options=()
  [[ $preset == release ]] && options=(-DQUELBY_PYTHON=ON -DPython_EXECUTABLE="$python")
  cmake --preset "$preset" "${options[@]}" >/dev/null
  cmake --build --preset "$preset"
  took "$preset build"
  echo "== $preset: tests"
  ctest --preset "$preset"
  took "$preset tests"
done

# The Python tests run against the package as a user installs it: pip install into a fresh
# virtual environment (Debian's numpy, scipy, matplotlib and meshio seen through
# --system-site-packages; nothing downloaded), from a folder outside the tree. The browser that
# opens the run reports is required: without it their test fails instead of being skipped.
echo "== python: pip install . into a fresh virtual environment, then tests"
repo=$PWD
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$python" -m venv --system-site-packages "$scratch/venv"
"$scratch/venv/bin/pip" install --quiet --no-build-isolation --no-index "$repo"
(cd "$scratch" && "$scratch/venv/bin/python" -c "import quelby; print('quelby', quelby.__version__)")
"$scratch/venv/bin/quelby-plot" --data examples/dipole_dipole.dat "$scratch/pseudosection.png"
(cd "$scratch" && QUELBY_INSTALLED=1 QUELBY_REQUIRE_BROWSER=1 \
  QUELBY_BINARY="$repo/build/release/quelby" \
  QUELBY_FORWARD_BINARY="$repo/build/release/quelby-forward" \
  QUELBY_INVERT_BINARY="$repo/build/release/quelby-invert" \
  QUELBY_IMPORT_BINARY="$repo/build/release/quelby-import" \
  PYTHONDONTWRITEBYTECODE=1 "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider \
  "$repo/python/tests")
took "python"

# The site, from the release build above (nothing is built again).
scripts/docs.sh
took "docs"

scripts/package_test.sh build/release
took "package"

echo "== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
took "fuzz build"
scripts/fuzz_repeatable.sh
took "fuzz runs"
echo "All tests and fuzz runs passed."
