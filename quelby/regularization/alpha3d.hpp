// The coefficients of the 3-D model objective function's terms (alpha_s for the smallness term,
// alpha_x, alpha_y and alpha_z for the derivative terms), set directly, from three length scales,
// or by default from the mesh, and logged in both descriptions (Lx^2 = alpha_x / alpha_s, likewise
// y and z).
#pragma once

#include <array>
#include <cstdint>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh3d.hpp"

namespace quelby {

struct AlphaCoefficients3D {
  double alpha_s = 0;
  double alpha_x = 0;
  double alpha_y = 0;
  double alpha_z = 0;
};

// The coefficients of the length scales (Lx, Ly, Lz), normalised so that the largest of alpha_x,
// alpha_y and alpha_z is 1: alpha_s = 1 / L^2 and alpha_x = Lx^2 / L^2 with L the largest scale.
AlphaCoefficients3D alpha_from_lengths3d(const std::array<double, 3>& lengths);

// The default length scale: 4 times the largest of the smallest cell widths along x, y and z.
double default_length3d(const Mesh3D& mesh);

// mode 0: every length scale default_length3d(mesh); mode 2: the coefficients `alpha`
// (a_s, a_x, a_y, a_z) as given; mode 3: the length scales `lengths` (Lx, Ly, Lz) by
// alpha_from_lengths3d. Each writes its four log records (an empty line, the given description,
// the derived one, an empty line). Any other mode sets and writes nothing.
void set_alpha3d(const Io& io, const Mesh3D& mesh, std::int32_t mode,
                 const std::array<double, 4>& alpha, const std::array<double, 3>& lengths,
                 AlphaCoefficients3D& coefficients);

}  // namespace quelby
