#include "quelby/report/model_slices.hpp"

#include <cstddef>

namespace quelby {
namespace {

std::size_t at(std::int64_t cell) {
  return static_cast<std::size_t>(cell);
}

std::size_t at(std::int32_t index) {
  return static_cast<std::size_t>(index);
}

}  // namespace

std::vector<SectionCell> slice_along_x(const Mesh3D& mesh, std::span<const double> values,
                                       std::int32_t j) {
  std::vector<SectionCell> cells;
  cells.reserve(at(mesh.nx) * at(mesh.nz));
  for (std::int32_t k = 0; k < mesh.nz; ++k)
    for (std::int32_t i = 0; i < mesh.nx; ++i)
      cells.push_back({mesh.x_nodes[at(i)], mesh.x_nodes[at(i) + 1], -mesh.z_nodes[at(k)],
                       -mesh.z_nodes[at(k) + 1], values[at(mesh.cell(i, j, k))]});
  return cells;
}

std::vector<SectionCell> slice_along_y(const Mesh3D& mesh, std::span<const double> values,
                                       std::int32_t i) {
  std::vector<SectionCell> cells;
  cells.reserve(at(mesh.ny) * at(mesh.nz));
  for (std::int32_t k = 0; k < mesh.nz; ++k)
    for (std::int32_t j = 0; j < mesh.ny; ++j)
      cells.push_back({mesh.y_nodes[at(j)], mesh.y_nodes[at(j) + 1], -mesh.z_nodes[at(k)],
                       -mesh.z_nodes[at(k) + 1], values[at(mesh.cell(i, j, k))]});
  return cells;
}

std::vector<SectionCell> depth_map(const Mesh3D& mesh, std::span<const double> values,
                                   std::int32_t k) {
  std::vector<SectionCell> cells;
  cells.reserve(at(mesh.nx) * at(mesh.ny));
  // Rows from the largest y down: the section writer merges touching cells of one row.
  for (std::int32_t j = mesh.ny - 1; j >= 0; --j)
    for (std::int32_t i = 0; i < mesh.nx; ++i)
      cells.push_back({mesh.x_nodes[at(i)], mesh.x_nodes[at(i) + 1], mesh.y_nodes[at(j) + 1],
                       mesh.y_nodes[at(j)], values[at(mesh.cell(i, j, k))]});
  return cells;
}

}  // namespace quelby
