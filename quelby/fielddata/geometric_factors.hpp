// Geometric factors of field data (rho_a = K R): the flat-surface formula of four surface
// electrodes, and the forward model's numeric factor of a uniform earth under a ground surface
// given by points, for files whose electrodes stand on topography.
#pragma once

#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_datum.hpp"

namespace quelby {

// K = 2 pi / (1/AM - 1/AN - 1/BM + 1/BN) from the x positions, the terms of a pole's missing
// electrode (B = A, N = M) left out; NaN where it is undefined (coinciding electrodes, a zero
// denominator).
// A datum with buried electrodes (a depth not 0) takes buried_geometric_factor.
double flat_geometric_factor(const FieldDatum& datum);

// K = 4 pi / sum over the pairs of +-(1/r + 1/r') for electrodes at depths below a flat surface
// (r the distance of the two electrodes, r' that of one to the other's image above the surface);
// equal to the flat-surface factor for electrodes on the surface. NaN where it is undefined.
double buried_geometric_factor(const FieldDatum& datum);

// K_i = 1 / d_i of a uniform 1 ohm-m earth under the ground through the points (ground_x
// increasing, ground_elevation in m, up), on the mesh quelby-mesh would make for the data's
// electrodes under that ground. One forward run: seconds for a few hundred electrodes.
std::vector<double> numeric_geometric_factors(const Io& io, std::span<const FieldDatum> data,
                                              std::span<const double> ground_x,
                                              std::span<const double> ground_elevation);

}  // namespace quelby
