#include "app/fixed_cells.hpp"

#include <stdexcept>
#include <string>

namespace quelby {

namespace {

std::size_t cell_count(const std::int32_t nx, const std::int32_t nz) {
  if (nx < 0 || nz < 0) throw std::invalid_argument("fixed cells: negative cell counts");
  return static_cast<std::size_t>(nx) * static_cast<std::size_t>(nz);
}

}  // namespace

FixedCells::FixedCells(const std::int32_t nx, const std::int32_t nz,
                       std::span<const std::uint8_t> fixed)
    : nx_(nx), nz_(nz) {
  const std::size_t cells = cell_count(nx, nz);
  if (fixed.size() != cells) {
    throw std::invalid_argument("fixed cells: " + std::to_string(fixed.size()) +
                                " flags for a mesh of " + std::to_string(cells) + " cells");
  }
  const auto columns = static_cast<std::size_t>(nx);
  const auto rows = static_cast<std::size_t>(nz);
  kept_.resize(cells);
  for (std::size_t cell = 0; cell < cells; ++cell) {
    kept_[cell] = fixed[cell] != 0 ? fixed_cell : 0;
    fixed_count_ += fixed[cell] != 0 ? 1 : 0;
  }
  row_kept_.assign(rows, 0);
  for (std::size_t k = 0; k < rows; ++k) {
    const std::size_t k_lo = k > 0 ? k - 1 : 0;
    const std::size_t k_hi = k + 1 < rows ? k + 1 : rows - 1;
    std::size_t kept_in_row = 0;
    for (std::size_t i = 0; i < columns; ++i) {
      const std::size_t cell = k * columns + i;
      if (kept_[cell] != fixed_cell) {
        // A free cell keeps its value when it has neighbours and every one of them is fixed.
        const std::size_t i_lo = i > 0 ? i - 1 : 0;
        const std::size_t i_hi = i + 1 < columns ? i + 1 : columns - 1;
        bool has_neighbour = false;
        bool free_neighbour = false;
        for (std::size_t kk = k_lo; kk <= k_hi; ++kk) {
          for (std::size_t ii = i_lo; ii <= i_hi; ++ii) {
            if (kk == k && ii == i) continue;
            has_neighbour = true;
            free_neighbour = free_neighbour || kept_[kk * columns + ii] != fixed_cell;
          }
        }
        if (has_neighbour && !free_neighbour) kept_[cell] = lone_cell;
      }
      if (kept_[cell] != 0) ++kept_in_row;
    }
    row_kept_[k] = kept_in_row;
  }
}

std::vector<std::uint8_t> fixed_cell_flags(const Mesh& mesh, const Topography* topography,
                                           const ActiveCells* cells) {
  const std::size_t count = cell_count(mesh.nx, mesh.nz);
  const auto columns = static_cast<std::size_t>(mesh.nx);
  if (topography != nullptr && topography->air_cells.size() != columns) {
    throw std::invalid_argument("fixed cells: the topography has " +
                                std::to_string(topography->air_cells.size()) +
                                " columns, the mesh " + std::to_string(columns));
  }
  if (cells != nullptr &&
      (cells->nx != mesh.nx || cells->nz != mesh.nz || cells->cell_idx.size() != count)) {
    throw std::invalid_argument("fixed cells: the active cells were built for " +
                                std::to_string(cells->nx) + " x " + std::to_string(cells->nz) +
                                " cells, the mesh has " + std::to_string(mesh.nx) + " x " +
                                std::to_string(mesh.nz));
  }
  std::vector<std::uint8_t> flags(count, 0);
  for (std::size_t cell = 0; cell < count; ++cell) {
    const std::size_t column = cell % columns;
    const auto row = static_cast<std::int64_t>(cell / columns);
    const bool in_air = topography != nullptr && row < topography->air_cells[column];
    const bool not_a_parameter = cells != nullptr && cells->cell_idx[cell] <= 0;
    flags[cell] = in_air || not_a_parameter ? 1 : 0;
  }
  return flags;
}

}  // namespace quelby
