#!/usr/bin/env bash
# Installs quelby into a temporary prefix, static and then shared, and builds a tiny consumer
# project against each installation twice: with find_package and with pkg-config. Each consumer
# smooths the bundled example and must write the very bytes that the installed command writes;
# the installed man pages (one per command) must render without warnings. Then
# makes the Debian package from the static release build (cpack -G DEB), checks its name, fields
# and contents, unpacks it into a temporary root and runs the unpacked commands and a consumer
# built against the unpacked files.
#
# Usage: scripts/package_test.sh [STATIC_BUILD]
# STATIC_BUILD: an existing static Release build folder (such as build/release) to install and
# package instead of building the static variant anew.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --package
static_build=${1:-}
if [[ -n $static_build ]]; then
  static_build=$(cd "$static_build" && pwd)
  cache=$static_build/CMakeCache.txt
  if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$cache" ||
    grep -qx 'BUILD_SHARED_LIBS:BOOL=ON' "$cache"; then
    echo "$static_build is not a static Release build"
    exit 1
  fi
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mesh=examples/section.msh
model=examples/section.mod

for kind in static shared; do
  shared=OFF
  [[ $kind == shared ]] && shared=ON
  prefix=$work/$kind/prefix
  echo "== package ($kind): build and install into a temporary prefix"
  build=$work/$kind/build
  if [[ $kind == static && -n $static_build ]]; then
    build=$static_build
  else
    # A variant built here checks what is installed and how a consumer finds it, not the code's
    # speed: built without optimisation, the library compiles in a fraction of the time.
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O0 \
      -DBUILD_SHARED_LIBS=$shared -DQUELBY_TESTS=OFF -DQUELBY_BENCH=OFF >/dev/null
  fi
  cmake --build "$build" --target quelby quelby-forward quelby-mesh quelby-invert \
    quelby-import quelby-report quelby_library >/dev/null
  cmake --install "$build" --prefix "$prefix" >/dev/null
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
  g++ -O2 cmake/consumer/consumer.cpp -o "$work/$kind/pkg_consumer" $flags \
    -Wl,-rpath,"$libdir"
  "$work/$kind/pkg_consumer" "$mesh" "$model" "$work/$kind/pkg_config.mod" 3
  cmp "$work/$kind/command.mod" "$work/$kind/pkg_config.mod"

  for command in quelby quelby-forward quelby-mesh quelby-invert quelby-import quelby-report; do
    page=$(find "$prefix" -path "*man1/$command.1")
    [[ -n $page ]] || {
      echo "no man page of $command installed"
      exit 1
    }
    warnings=$(groff -man -ww -z "$page" 2>&1)
    if [[ -n $warnings ]]; then
      echo "the man page of $command renders with warnings:"
      echo "$warnings"
      exit 1
    fi
  done
done
echo "== package (deb): cpack -G DEB in the static release build"
version=$(sed -n 's/^project(quelby VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
architecture=$(dpkg --print-architecture)
build=${static_build:-$work/static/build}
# The package is made in a folder of its own, so that a build folder given keeps no package.
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$work/deb/quelby_${version}_${architecture}.deb
[[ -f $deb ]] || {
  echo "no $deb; cpack made: $(ls "$work/deb"/*.deb 2>/dev/null)"
  exit 1
}
[[ $(dpkg-deb --field "$deb" Package) == quelby ]]
[[ $(dpkg-deb --field "$deb" Version) == "$version" ]]
# Found by dpkg-shlibdeps: at least the C and C++ runtime libraries.
depends=$(dpkg-deb --field "$deb" Depends)
for library in libc6 libstdc++6; do
  grep -q "$library" <<<"$depends" || {
    echo "Depends lacks $library: $depends"
    exit 1
  }
done
contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }')
for path in ./usr/bin/quelby ./usr/share/man/man1/quelby.1 ./usr/bin/quelby-forward \
  ./usr/share/man/man1/quelby-forward.1 ./usr/bin/quelby-mesh ./usr/share/man/man1/quelby-mesh.1 \
  ./usr/include/quelby/survey/data_writer.hpp ./usr/lib/libquelby.a \
  ./usr/bin/quelby-invert ./usr/share/man/man1/quelby-invert.1 \
  ./usr/bin/quelby-import ./usr/share/man/man1/quelby-import.1 \
  ./usr/bin/quelby-report ./usr/share/man/man1/quelby-report.1 \
  ./usr/include/quelby/fielddata/field_import.hpp \
  ./usr/include/quelby/mesh/mesh.hpp ./usr/include/quelby/smoothing/smooth.hpp ./usr/include/quelby/quelby.hpp \
  ./usr/include/quelby/base/version.hpp ./usr/lib/cmake/quelby/quelbyConfig.cmake \
  ./usr/lib/cmake/quelby/quelbyTargets.cmake ./usr/lib/pkgconfig/quelby.pc; do
  grep -qx -- "$path" <<<"$contents" || {
    echo "the package lacks $path"
    exit 1
  }
done
if grep -v '^\./usr/' <<<"$contents" | grep -q .; then
  echo "the package holds files outside /usr:"
  grep -v '^\./usr/' <<<"$contents"
  exit 1
fi

echo "== package (deb): the unpacked commands against the build's commands"
root=$work/root
dpkg -x "$deb" "$root"
[[ $("$root/usr/bin/quelby" --version) == "quelby $version" ]]
[[ $("$root/usr/bin/quelby-invert" --version) == "quelby-invert $version" ]]
[[ $("$root/usr/bin/quelby-report" --version) == "quelby-report $version" ]]
"$root/usr/bin/quelby" "$mesh" "$model" "$work/deb.mod" 3
"$build/quelby" "$mesh" "$model" "$work/build.mod" 3
cmp "$work/deb.mod" "$work/build.mod"
masked=(--topography examples/section.topo --active examples/section.act)
"$root/usr/bin/quelby" "${masked[@]}" "$mesh" "$model" "$work/deb_masked.mod" 3
"$build/quelby" "${masked[@]}" "$mesh" "$model" "$work/build_masked.mod" 3
cmp "$work/deb_masked.mod" "$work/build_masked.mod"
# The forward-modelling commands on the bundled survey: a mesh, then the data of a uniform earth.
survey=examples/dipole_dipole.dat
for command in quelby-forward quelby-mesh; do
  [[ $("$root/usr/bin/$command" --version) == "$command $version" ]]
done
"$root/usr/bin/quelby-mesh" "$survey" "$work/deb.msh"
"$build/quelby-mesh" "$survey" "$work/build.msh"
cmp "$work/deb.msh" "$work/build.msh"
# "nx nz", then nx * nz values of 100 ohm-m as one repeated free-format value.
awk 'NR == 1 { sx = $1; next } NR <= 1 + sx { nx += $NF; next } NR == 2 + sx { sz = $1; next }
     NR <= 2 + sx + sz { nz += $NF } END { print nx, nz; print nx * nz "*100" }' \
  "$work/build.msh" >"$work/uniform.mod"
"$root/usr/bin/quelby-forward" "$work/build.msh" "$work/uniform.mod" "$survey" "$work/deb.dat"
"$build/quelby-forward" "$work/build.msh" "$work/uniform.mod" "$survey" "$work/build.dat"
cmp "$work/deb.dat" "$work/build.dat"
# The import of the bundled field line: the same files from the unpacked and the built command.
[[ $("$root/usr/bin/quelby-import" --version) == "quelby-import $version" ]]
field=(--reciprocal --max-reciprocal-error 10 --max-deviation 5 examples/field_line.csv)
"$root/usr/bin/quelby-import" "${field[@]}" "$work/deb_field" >/dev/null
"$build/quelby-import" "${field[@]}" "$work/build_field" >/dev/null
for file in data.dat ip.dat topography.topo; do
  cmp "$work/deb_field/$file" "$work/build_field/$file"
done

echo "== package (deb): a consumer built with the unpacked quelby.pc"
flags=$(PKG_CONFIG_PATH="$root/usr/lib/pkgconfig" pkg-config --cflags --libs quelby)
# shellcheck disable=SC2086
g++ -O2 cmake/consumer/consumer.cpp -o "$work/deb_consumer" $flags
"$work/deb_consumer" "$mesh" "$model" "$work/deb_consumer.mod" 3
cmp "$work/build.mod" "$work/deb_consumer.mod"
echo "== package: static and shared installs used through find_package and pkg-config, and the"
echo "   Debian package $(basename "$deb")"
