#!/usr/bin/env bash
# Installs quelby into a temporary prefix, static and then shared, and builds a tiny consumer
# project against each installation twice: with find_package and with pkg-config. Each consumer
# smooths the bundled example and must write the very bytes that the installed command writes;
# the installed man page must render without warnings.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mesh=examples/section.msh
model=examples/section.mod

for kind in static shared; do
  shared=OFF
  [[ $kind == shared ]] && shared=ON
  prefix=$work/$kind/prefix
  echo "== package ($kind): build and install into a temporary prefix"
  cmake -S . -B "$work/$kind/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=$shared -DQUELBY_TESTS=OFF -DQUELBY_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$work/$kind/build" --target quelby quelby_library >/dev/null
  cmake --install "$work/$kind/build" >/dev/null
  libdir=$(find "$prefix" -name quelby.pc -printf '%h\n' | head -n 1)/..

  "$prefix"/bin/quelby "$mesh" "$model" "$work/$kind/command.mod" 3

  echo "== package ($kind): consumer with find_package"
  cmake -S cmake/consumer -B "$work/$kind/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/$kind/consumer" >/dev/null
  "$work/$kind/consumer/consumer" "$mesh" "$model" "$work/$kind/find_package.mod" 3
  cmp "$work/$kind/command.mod" "$work/$kind/find_package.mod"

  echo "== package ($kind): consumer with pkg-config"
  flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs quelby)
  # shellcheck disable=SC2086
  g++ -std=c++20 -O2 cmake/consumer/consumer.cpp -o "$work/$kind/pkg_consumer" $flags \
    -Wl,-rpath,"$libdir"
  "$work/$kind/pkg_consumer" "$mesh" "$model" "$work/$kind/pkg_config.mod" 3
  cmp "$work/$kind/command.mod" "$work/$kind/pkg_config.mod"

  page=$(find "$prefix" -path '*man1/quelby.1')
  warnings=$(groff -man -ww -z "$page" 2>&1)
  if [[ -n $warnings ]]; then
    echo "the man page renders with warnings:"
    echo "$warnings"
    exit 1
  fi
done
echo "== package: static and shared installs used through find_package and pkg-config"
