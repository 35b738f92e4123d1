// Slices of a 3-D model as the cells a section picture draws: vertical slices through one row of
// cells along x or along y (elevation -z upwards), and depth maps of one layer (y upwards).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quelby/mesh/mesh3d.hpp"
#include "quelby/report/svg_picture.hpp"

namespace quelby {

// The cells (i, j, k) of row `j` (0 <= j < ny), layer by layer from the top, x along the section;
// `values` holds one value per cell of `mesh`.
std::vector<SectionCell> slice_along_x(const Mesh3D& mesh, std::span<const double> values,
                                       std::int32_t j);

// The cells (i, j, k) of column `i` (0 <= i < nx), layer by layer from the top, y along the
// section.
std::vector<SectionCell> slice_along_y(const Mesh3D& mesh, std::span<const double> values,
                                       std::int32_t i);

// The cells (i, j, k) of layer `k` (0 <= k < nz) seen from above: x across, y up the picture, rows
// from the largest y down so that cells of one row follow one another.
std::vector<SectionCell> depth_map(const Mesh3D& mesh, std::span<const double> values,
                                   std::int32_t k);

}  // namespace quelby
