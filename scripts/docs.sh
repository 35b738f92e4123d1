#!/usr/bin/env bash
# Builds the documentation site into build/docs/html and checks its internal links.
#
# Usage: scripts/docs.sh
#
# Sets up what the site is built with (scripts/setup.sh --python --docs), brings build/release up to
# date with the Python module (configured as scripts/test.sh configures it; nothing already built is
# built again), renders the manual pages (doc/*.1.in through mandoc) and the C++ API (Doxygen, which
# fails on any warning), makes the example reports when scripts/report_examples.sh is there, runs
# Sphinx with warnings as errors and nitpicky references (the gallery's examples run in it), and
# checks that every relative link and anchor of the built pages leads somewhere
# (doc/tools/check_links.py; external links are listed in build/docs/external-links.txt, never
# fetched).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

scripts/setup.sh --python --docs

mark=$SECONDS
took() {
  echo "   ($1: $((SECONDS - mark)) s)"
  mark=$SECONDS
}

python=/usr/bin/python3
build=build/release
out=build/docs
mkdir -p "$out"

echo "== docs: the commands and the Python module in $build"
if ! grep -qs '^QUELBY_PYTHON:BOOL=ON' "$build/CMakeCache.txt"; then
  cmake --preset release -DQUELBY_PYTHON=ON -DPython_EXECUTABLE="$python" >/dev/null
fi
targets=(quelby quelby-mesh quelby-forward quelby-invert quelby-import _quelby)
# The report command, where the tree has it (the example reports are made with it).
if grep -q 'quelby-report' CMakeLists.txt; then targets+=(quelby-report); fi
cmake --build --preset release --target "${targets[@]}"
took "build"

export PYTHONPATH="$repo/$build/python" PYTHONDONTWRITEBYTECODE=1 MPLBACKEND=Agg
export QUELBY_BINARY="$repo/$build/quelby" QUELBY_FORWARD_BINARY="$repo/$build/quelby-forward"
export QUELBY_INVERT_BINARY="$repo/$build/quelby-invert"
export QUELBY_IMPORT_BINARY="$repo/$build/quelby-import"
export QUELBY_MESH_BINARY="$repo/$build/quelby-mesh"
export QUELBY_DOCS_BUILD="$repo/$out"
version=$("$python" -c 'import quelby; print(quelby.__version__)')

echo "== docs: manual pages and the C++ API"
"$python" doc/tools/man_pages.py doc doc/man
rm -rf "$out/extra/cpp"
mkdir -p "$out/extra"
# Doxygen writes its warnings to standard error and, with WARN_AS_ERROR = FAIL_ON_WARNINGS, ends
# with a failure status after them.
QUELBY_DOXYGEN_OUT="$repo/$out/extra" QUELBY_VERSION="$version" doxygen doc/Doxyfile
took "manual pages and C++ API"

echo "== docs: example reports"
rm -rf "$out/extra/reports" doc/_generated
mkdir -p doc/_generated/reports
reports=(block field timelapse 3d)
declare -A titles=([block]="The synthetic block survey (DC and IP)" [field]="The bundled field line"
  [timelapse]="A time-lapse campaign of three readings" [3d]="A small 3-D survey")
if [[ -f scripts/report_examples.sh ]]; then
  bash scripts/report_examples.sh "$build" "$out/extra/reports"
  {
    for name in "${reports[@]}"; do
      for file in "$out/extra/reports/$name.png" "$out/extra/reports/$name/report.html"; do
        [[ -f $file ]] || { echo "docs.sh: report_examples.sh made no $file" >&2; exit 1; }
      done
      cp "$out/extra/reports/$name.png" doc/_generated/reports/
      printf '## %s\n\n' "${titles[$name]}"
      printf '![The first screen of the report of %s](reports/%s.png)\n\n' "${titles[$name],}" \
        "$name"
      printf '<a href="../reports/%s/report.html">Open the whole report</a>\n\n' "$name"
    done
  } >doc/_generated/reports.md
  took "reports"
else
  echo "docs.sh: scripts/report_examples.sh is not in this tree: the example reports are left out" \
    "of the site (the page 'Reading a run's report' says so)"
  cat >doc/_generated/reports.md <<'EOF'
```{note}
This build of the site has no example reports: `scripts/report_examples.sh`, which makes them, is
not in its tree.
```
EOF
fi

echo "== docs: Sphinx (warnings are errors; the gallery runs)"
rm -rf "$out/html"
# -E: a fresh environment every time, since Sphinx cannot tell when the built module (whose
# docstrings are the Python API pages) or doc/conf.py's functions changed.
sphinx-build -E -W --keep-going -n -q -b html -d "$out/doctrees" doc "$out/html"
took "sphinx"

echo "== docs: internal links"
"$python" doc/tools/check_links.py "$out/html" --list-external >"$out/links.txt" || {
  grep -v '^external' "$out/links.txt"
  exit 1
}
grep '^external' "$out/links.txt" >"$out/external-links.txt" || true
grep -v '^external' "$out/links.txt"
# Every public name of the module has its entry on the Python API page.
"$python" - "$out/html/api/python.html" <<'CHECK'
import re, sys
import quelby
ids = set(re.findall(r'id="([^"]+)"', open(sys.argv[1], encoding="utf-8").read()))
missing = [name for name in quelby.__all__ if f"quelby.{name}" not in ids]
if missing:
    sys.exit(f"docs.sh: the Python API page lacks {', '.join(missing)}")
print(f"Python API page: all {len(quelby.__all__)} public names of quelby")
CHECK
echo "Site built in $repo/$out/html (index.html)"
