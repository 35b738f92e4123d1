#include "quelby/smoothing/fixed_cells.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "quelby/base/huge_pages.hpp"

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
  resize_with_huge_pages(kept_, cells);
  for (std::size_t cell = 0; cell < cells; ++cell) {
    kept_[cell] = fixed[cell] != 0 ? fixed_cell : 0;
    fixed_count_ += fixed[cell] != 0 ? 1 : 0;
  }
  // Fixed cells per row, so that rows far from any fixed cell cost one look.
  std::vector<std::size_t> fixed_in_row(rows, 0);
  for (std::size_t k = 0; k < rows; ++k) {
    for (std::size_t i = 0; i < columns; ++i) fixed_in_row[k] += kept_[k * columns + i];
  }
  row_kept_.assign(rows, 0);
  stretch_start_.assign(rows + 1, 0);
  // Per column of the rows k-1..k+1: how many cells are free, and whether one is fixed.
  std::vector<std::uint8_t> free_in_column(columns);
  std::vector<std::uint8_t> fixed_in_column(columns);
  const bool cells_have_neighbours = columns > 1 || rows > 1;
  for (std::size_t k = 0; k < rows; ++k) {
    const std::size_t k_lo = k > 0 ? k - 1 : 0;
    const std::size_t k_hi = k + 1 < rows ? k + 1 : rows - 1;
    std::size_t fixed_around = 0;
    for (std::size_t kk = k_lo; kk <= k_hi; ++kk) fixed_around += fixed_in_row[kk];
    if (fixed_around == 0) {
      stretch_start_[k + 1] = stretches_.size();
      continue;
    }
    // Row by row, so that each loop runs over contiguous bytes. A lone cell of the row above is
    // free; only fixed cells count as fixed.
    std::fill(free_in_column.begin(), free_in_column.end(), std::uint8_t{0});
    for (std::size_t kk = k_lo; kk <= k_hi; ++kk) {
      const std::uint8_t* const row = kept_.data() + kk * columns;
      for (std::size_t i = 0; i < columns; ++i) {
        free_in_column[i] = static_cast<std::uint8_t>(free_in_column[i] + (row[i] != fixed_cell));
      }
    }
    const auto rows_around = static_cast<std::uint8_t>(k_hi - k_lo + 1);
    for (std::size_t i = 0; i < columns; ++i) {
      fixed_in_column[i] = free_in_column[i] < rows_around ? 1 : 0;
    }
    std::size_t kept_in_row = 0;
    for (std::size_t i = 0; i < columns; ++i) {
      const std::size_t cell = k * columns + i;
      // A free cell keeps its value when it has neighbours and every one of them is fixed: it is
      // then the only free cell of its neighbourhood.
      if (kept_[cell] != fixed_cell && cells_have_neighbours) {
        const unsigned free_around = (i > 0 ? free_in_column[i - 1] : 0u) + free_in_column[i] +
                                     (i + 1 < columns ? free_in_column[i + 1] : 0u);
        if (free_around == 1) kept_[cell] = lone_cell;
      }
      if (kept_[cell] != 0) ++kept_in_row;
    }
    row_kept_[k] = kept_in_row;
    add_stretches(fixed_in_column);
    stretch_start_[k + 1] = stretches_.size();
  }
}

void FixedCells::add_stretches(const std::vector<std::uint8_t>& fixed_in_column) {
  // Interior column i sees a fixed cell when one lies in columns i-1..i+1 (a lone cell has only
  // fixed neighbours, so its neighbourhood is seen through them). Clean gaps shorter than
  // joined_gap are taken into the stretch around them.
  const std::size_t columns = fixed_in_column.size();
  const std::size_t first = stretches_.size();
  std::size_t i = 1;
  while (i + 1 < columns) {
    const auto dirty = [&](std::size_t c) {
      return (fixed_in_column[c - 1] | fixed_in_column[c] | fixed_in_column[c + 1]) != 0;
    };
    if (!dirty(i)) {
      ++i;
      continue;
    }
    const std::size_t begin = i;
    std::size_t end = i;
    for (;;) {
      while (end + 1 < columns && dirty(end)) ++end;
      std::size_t next = end;
      while (next + 1 < columns && !dirty(next)) ++next;
      if (next + 1 >= columns || next - end >= joined_gap) {
        if (next + 1 >= columns && next - end < joined_gap) end = next;
        break;
      }
      end = next;
    }
    stretches_.push_back(static_cast<std::int32_t>(begin));
    stretches_.push_back(static_cast<std::int32_t>(end));
    i = end;
  }
  // Many stretches in a row: the whole interior is one.
  if (stretches_.size() - first > 2 * most_stretches) {
    stretches_.resize(first);
    stretches_.push_back(1);
    stretches_.push_back(static_cast<std::int32_t>(columns - 1));
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
  std::vector<std::uint8_t> flags;
  assign_with_huge_pages(flags, count, 0);
  const std::size_t rows = columns == 0 ? 0 : count / columns;
  for (std::size_t row = 0, cell = 0; row < rows; ++row) {
    for (std::size_t column = 0; column < columns; ++column, ++cell) {
      const bool in_air =
          topography != nullptr && static_cast<std::int64_t>(row) < topography->air_cells[column];
      const bool not_a_parameter = cells != nullptr && cells->cell_idx[cell] <= 0;
      flags[cell] = in_air || not_a_parameter ? 1 : 0;
    }
  }
  return flags;
}

}  // namespace quelby
