#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, when they are missing.
# Usage: scripts/setup.sh [--fuzz] [--python] [--package] [--docs]
#   --fuzz adds clang and its libFuzzer runtime; --python the Python module's build, packaging
#   (pip install ., python3 -m build) and test packages, and the headless browser that opens the
#   run reports; --package what the installed-package test, the Debian package (cpack -G DEB with
#   dpkg-shlibdeps) and the man page check use; --docs what the documentation site is built with
#   (Sphinx with Markdown pages and a gallery, Doxygen for the C++ headers, mandoc for the manual
#   pages' web versions, the browser for the reports' screenshots).
set -euo pipefail

# liblapack-dev and libopenblas0-pthread: dense linear algebra over a thread-safe OpenBLAS (Debian's
# alternatives then point libblas.so.3 and liblapack.so.3 at it).
# libhypre-dev and mpi-default-dev (Open MPI): conjugate gradients with algebraic multigrid for
# large 3-D systems.
# man-db: `man quelby-import` once scripts/quickstart.sh has installed the manual pages.
packages=(g++ cmake ninja-build libgtest-dev libbenchmark-dev libsuitesparse-dev liblapack-dev
  libblas-dev libopenblas0-pthread libhypre-dev mpi-default-dev libopenmpi-dev time man-db)
for option in "$@"; do
  case "$option" in
    --fuzz) packages+=(clang libclang-rt-dev) ;;
    --python)
      packages+=(python3 python3-dev pybind11-dev python3-numpy python3-scipy python3-pytest
        python3-matplotlib python3-meshio python3-setuptools python3-wheel python3-pip python3-venv
        python3-build python3-distributed chromium fonts-dejavu-core)
      ;;
    --package) packages+=(pkgconf groff-base dpkg-dev file) ;;
    --docs)
      packages+=(python3-sphinx python3-myst-parser python3-sphinx-gallery furo doxygen mandoc man-db
        chromium fonts-dejavu-core)
      ;;
    *)
      echo "setup.sh: unknown option $option" >&2
      exit 2
      ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
