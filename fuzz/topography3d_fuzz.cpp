// Fuzzes the 3-D topography reader. The first three bytes choose the mesh (1 to 4 cells an axis);
// the rest is the topography file. A surface read gives a count of air cells from 0 to nz for
// every column, and a z that is a number wherever it is asked for.
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "files3d_fuzz_support.hpp"
#include "quelby/mesh/topography3d.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz_support::fail;
  if (size < 3) return 0;
  std::ostringstream console, error, log;
  const quelby::Io io{console, error, log};
  const quelby::Mesh3D mesh = fuzz_support::small_mesh(io, data);
  const std::string path = fuzz_support::scratch_file("input3d.topo", data + 3, size - 3);
  quelby::Topography3D topography;
  if (!fuzz_support::read_or_stop(path, [&](const quelby::Io& reader_io) {
        quelby::read_topography3d(reader_io, true, path, topography);
      })) {
    return 0;
  }
  if (!topography.has_topography) fail("has_topography not set");
  // Scattered points cost their count at every column: keep the fuzzer's inputs fast.
  if (topography.x.size() > 4096) return 0;
  std::vector<std::int32_t> air;
  try {
    air = quelby::air_cells_3d(io, mesh, topography);
  } catch (const quelby::Stop&) {
    fail("air cells of a read surface stop", error.str());
  }
  if (air.size() != static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.ny)) {
    fail("air cells of another size");
  }
  for (const std::int32_t count : air) {
    if (count < 0 || count > mesh.nz) fail("an air-cell count outside 0..nz");
  }
  // Elevations within the doubles can still make a surface of NaN where weights overflow; that
  // must not reach an air-cell count, which is checked above.
  (void)quelby::surface_z_at(topography, mesh.x_centres[0], mesh.y_centres[0]);
  return 0;
}
