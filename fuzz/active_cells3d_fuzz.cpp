// Fuzzes the active-cell reader of 3-D meshes. The first three bytes choose the mesh (1 to 4 cells
// an axis), the next byte the air cells of its columns; the rest is the active-cell file. A map
// read numbers its parameters 1..npar in cell order and its influence cells -1..-ninfl.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "files3d_fuzz_support.hpp"
#include "quelby/cells/active_cells3d.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz_support::fail;
  if (size < 4) return 0;
  std::ostringstream console, error, log;
  const quelby::Mesh3D mesh = fuzz_support::small_mesh({console, error, log}, data);
  std::vector<std::int32_t> air(static_cast<std::size_t>(mesh.nx) *
                                static_cast<std::size_t>(mesh.ny));
  for (std::size_t column = 0; column < air.size(); ++column) {
    air[column] = static_cast<std::int32_t>((data[3] >> (column % 8)) & 1) * (data[3] % 3);
  }
  const std::string path = fuzz_support::scratch_file("input3d.act", data + 4, size - 4);
  quelby::ActiveCells3D cells;
  if (!fuzz_support::read_or_stop(path, [&](const quelby::Io& io) {
        quelby::read_active_cells3d(io, mesh, air, path, cells);
      })) {
    return 0;
  }
  if (cells.cell_idx.size() != static_cast<std::size_t>(mesh.cell_count())) fail("map size");
  std::int32_t parameters = 0;
  std::int32_t influence = 0;
  std::int32_t inactive = 0;
  for (const std::int32_t index : cells.cell_idx) {
    if (index > 0 && index != ++parameters) fail("parameters out of order");
    if (index < 0 && index != -++influence) fail("influence cells out of order");
    if (index == 0) ++inactive;
  }
  if (parameters != cells.npar || influence != cells.ninfl || inactive != cells.ninact ||
      cells.npar < 1) {
    fail("counts differ from the map");
  }
  return 0;
}
