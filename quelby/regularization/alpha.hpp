// The coefficients of the model objective function's terms (alpha_s for the smallness term,
// alpha_x and alpha_z for the derivative terms), set directly, from two length scales, or by
// default from the mesh, and logged in both descriptions (Lx^2 = alpha_x / alpha_s, likewise z).
#pragma once

#include <array>
#include <cstdint>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"

namespace quelby {

struct AlphaCoefficients {
  double alpha_s = 0;
  double alpha_x = 0;
  double alpha_z = 0;
};

// mode 0: length scales of 4 times the larger of the smallest cell widths along x and z (needs the
// mesh); mode 2: the coefficients `alpha` (a_s, a_x, a_z) as given; mode 3: the length scales
// `lengths` (Lx, Lz), normalised so that the larger of alpha_x and alpha_z is 1. Each writes its
// four log records. Any other mode sets and writes nothing.
void set_alpha(const Io& io, const Mesh& mesh, std::int32_t mode,
               const std::array<double, 3>& alpha, const std::array<double, 2>& lengths,
               AlphaCoefficients& coefficients);

}  // namespace quelby
