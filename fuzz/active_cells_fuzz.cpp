// Fuzzes the active-cell readers. The first byte shapes the mesh, the second gives the air cells
// of the columns; the rest is the active-cell file. After a successful read the map must number
// its parameters 1..npar and its influence cells -1..-ninfl in cell order, agree with the flags
// that read_active_cell_file reads from the same file, keep air cells inactive, and survive a
// round of set_all_active and store_inactive_values.
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/cells_fuzz_support.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cells_fuzz::fail;
  if (size < 2) return 0;
  const quelby::Mesh mesh = cells_fuzz::small_mesh(data[0], 0);
  quelby::Topography topography;
  for (std::int32_t i = 0; i < mesh.nx; ++i) {
    topography.air_cells.push_back(((data[1] >> (i % 8)) & 1) != 0 ? (i % 3) : 0);
  }
  const std::string path = cells_fuzz::scratch_file(
      "cells.act", std::string_view(reinterpret_cast<const char*>(data + 2), size - 2));

  cells_fuzz::Streams streams;
  quelby::ActiveCells cells;
  try {
    quelby::read_active_cells(streams.io, mesh, topography, path, cells);
  } catch (const quelby::Stop& stop) {
    streams.check_stop(stop, path);
    return 0;
  }
  streams.check_quiet();
  const auto ncell = static_cast<std::size_t>(mesh.nx * mesh.nz);
  if (cells.cell_idx.size() != ncell || cells.ncell != static_cast<std::int32_t>(ncell) ||
      cells.npar + cells.ninfl + cells.ninact != cells.ncell || cells.npar < 1) {
    fail("inconsistent counts");
  }

  cells_fuzz::Streams again;
  // Zeros, as the work array of read_active_cells starts: a null value keeps the element.
  std::vector<std::int32_t> flags(ncell, 0);
  try {
    quelby::read_active_cell_file(again.io, mesh, path, flags);
  } catch (const quelby::Stop&) {
    fail("read_active_cell_file refused a file read_active_cells accepted");
  }
  std::int32_t p = 0;
  std::int32_t q = 0;
  for (std::size_t cell = 0; cell < ncell; ++cell) {
    const std::size_t i = cell % static_cast<std::size_t>(mesh.nx);
    const bool air = static_cast<std::int32_t>(cell / static_cast<std::size_t>(mesh.nx)) <
                     topography.air_cells[i];
    const std::int32_t expected = (air || flags[cell] == 0) ? 0 : flags[cell] == 1 ? ++p : -++q;
    if (cells.cell_idx[cell] != expected) fail("a cell numbered out of order");
  }
  if (p != cells.npar || q != cells.ninfl) fail("counts differ from the map");

  quelby::Model model(mesh.nx, mesh.nz);
  for (std::size_t cell = 0; cell < ncell; ++cell) model.data()[cell] = 1.0 + cell;
  const std::vector<std::int32_t> map = cells.cell_idx;
  try {
    quelby::set_all_active(true, cells);
    quelby::store_inactive_values(again.io, model, (data[1] & 1) != 0, cells);
    quelby::set_all_active(false, cells);
  } catch (const quelby::Stop&) {
    fail("store_inactive_values stopped");
  }
  if (cells.cell_idx != map || cells.npar != p) fail("set_all_active did not restore the map");
  if (cells.inact_val.size() != static_cast<std::size_t>(cells.ninact) ||
      cells.infl_val.size() != static_cast<std::size_t>(cells.ninfl)) {
    fail("inactive values of the wrong size");
  }
  return 0;
}
